#include "permutation_score.hpp"

#include <cmath>

#include "../capi/calls.hpp"
#include "../capi/failures.hpp"
#include "../capi/globals.hpp"
#include "../capi/process_state.hpp"
#include "../capi/python_code.hpp"
#include "../capi/scalars.hpp"
#include "../scoring/ombrix_score.hpp"
#include "permutation_bg.hpp"

namespace ombrix {

namespace {

constexpr Traceback trace{"ombrix.permutation_score"};
using Lines = PermutationScoreLines;

// Rounds to single precision and widens back, as the limit and the
// background values are compared.
double to_single(double value) { return static_cast<double>(static_cast<float>(value)); }

// The element `index` of a lambda vector; IndexError names the parameter
// rather than reading outside its buffer.
bool read_lambda(const FloatVector& values, int index, const char* index_name,
                 const char* vector_name, double& out) {
    if (index < 0 || index >= values.length) {
        PyErr_Format(PyExc_IndexError,
                     "permutation_score(): %s=%d is out of range for %s of length %zd", index_name,
                     index, vector_name, values.length);
        return false;
    }
    out = values[index];
    return true;
}

// np.isnan(value) as a truth value; -1 on error.
int is_nan(PyObject* value) {
    Ref isnan = np_attr(names.isnan);
    if (!isnan) return -1;
    Ref result = call(isnan, {value});
    if (!result) return -1;
    return PyObject_IsTrue(result.get());
}

int is_nan(double value) {
    Ref obj = Ref::steal(PyFloat_FromDouble(value));
    if (!obj) return -1;
    return is_nan(obj.get());
}

// np.mean(values, where=~np.isnan(values)): the mean of the entries that are
// not NaN.
Ref mean_of_numbers(const FloatVector& values) {
    Ref mean = np_attr(names.mean);
    if (!mean) return {};
    Ref view = make_view_object(values);
    if (!view) return {};
    Ref isnan = np_attr(names.isnan);
    if (!isnan) return {};
    Ref mask_view = make_view_object(values);
    if (!mask_view) return {};
    Ref mask = call(isnan, {mask_view.get()});
    if (!mask) return {};
    Ref numbers = Ref::steal(PyNumber_Invert(mask.get()));
    if (!numbers) return {};
    return call_kw(mean, {view.get(), numbers.get()}, constants.where_kwnames);
}

// score[key]: a borrowed reference from the module's own dict, or a new one
// from any other mapping; null with the exception pending.
Ref score_item(PyObject* score, PyObject* key) {
    if (PyDict_CheckExact(score)) return Ref::borrow(dict_item(score, key));
    return Ref::steal(PyObject_GetItem(score, key));
}

// background >= observed, as Python compares a float with the observed
// score; -1 on error.
int reaches(double background, PyObject* observed) {
    if (PyFloat_CheckExact(observed)) return background >= PyFloat_AS_DOUBLE(observed);  // NaN reaches nothing
    Ref widened = Ref::steal(PyFloat_FromDouble(background));
    if (!widened) return -1;
    return PyObject_RichCompareBool(widened.get(), observed, Py_GE);
}

// Counts the backgrounds i = 1 .. random_num that reach the observed score,
// up to where the rule stops; *run is set to the number drawn.
std::optional<int> count_backgrounds(const FloatVector& cnv, int random_num, PyObject* score, double exp_lbd,
                                     PyObject* possion_lbd, int stop_after, std::vector<double>* drawn, int& run) {
    int num_greater = 0;
    run = 0;
    FinishedAtEnd draws_settled;
    SignalCheck signals;  // a long run stays interruptible
    BackgroundBuffers buffers;
    for (int i = 1; i <= random_num; ++i) {
        if (stop_after > 0 && num_greater == stop_after) break;
        if (signals.interrupted_after(cnv.length + 1)) return trace.at(Lines::background);
        double p = 0.0;
        if (!to_double(possion_lbd, p)) return trace.at(Lines::background_args);
        {
            // the segment table's length is the background's size argument,
            // which it never reads: only its failure shows
            Ref table = score_item(score, names.smooth_segment);
            if (!table || PyObject_Length(table.get()) < 0) return trace.at(Lines::background_args);
        }
        std::optional<BackgroundValue> value = background_value(cnv, exp_lbd, p, i, buffers);
        if (!value) return trace.at(Lines::background);
        double background = value->value;
        if (value->object && !to_double(value->object.get(), background)) return trace.at(Lines::background);
        double widened = to_single(background);
        if (drawn) drawn->push_back(widened);
        Ref observed = score_item(score, names.rearrange_score);
        if (!observed) return trace.at(Lines::compare);
        int truth = reaches(widened, observed.get());
        if (truth < 0) return trace.at(Lines::compare);
        if (truth) ++num_greater;
        run = i;
    }
    return num_greater;
}

// The observed score as a double; 0.0 where it is not a float, so that the
// backgrounds are then drawn as the rule-free call draws them.
double observed_score(PyObject* score) {
    PyObject* value = PyDict_GetItem(score, names.rearrange_score);  // a str key: the lookup cannot fail
    return value && PyFloat_CheckExact(value) ? PyFloat_AS_DOUBLE(value) : 0.0;
}

}  // namespace

PyObject* permutation_score(int x, const FloatVector& cnv, const FloatMatrix&, const FloatVector& exp_lambda,
                            const FloatVector& possion_lambda, int chr_num, int random_num, bool random,
                            StopRule rule) {
    int run = 0;
    Ref score = Ref::steal(ombrix_score(cnv));
    if (!score) return trace.at(Lines::score);
    double limit = 0.0;
    {
        Ref cal_limit = lookup_global(names.cal_limit);
        if (!cal_limit) return trace.at(Lines::limit);
        Ref view = make_view_object(cnv);
        if (!view) return trace.at(Lines::limit);
        Ref value = call(cal_limit, {view.get(), constants.float_0_6});
        if (!value || !to_double(value.get(), limit)) return trace.at(Lines::limit);
        limit = to_single(limit);
    }
    {
        Ref limit_obj = Ref::steal(PyFloat_FromDouble(limit));
        if (!limit_obj || PyObject_SetItem(score.get(), names.limit, limit_obj.get()) < 0) {
            return trace.at(Lines::store_limit);
        }
    }
    double exp_lbd = 0.0, possion_value = 0.0;
    if (!read_lambda(exp_lambda, x, "x", "exp_lambda", exp_lbd) ||
        !read_lambda(possion_lambda, chr_num, "chr_num", "possion_lambda", possion_value)) {
        return trace.at(Lines::read_lambdas);
    }
    Ref possion_lbd = Ref::steal(PyFloat_FromDouble(possion_value));
    if (!possion_lbd) return trace.at(Lines::read_lambdas);

    int num_greater = 0;
    if (random) {
        int nan = is_nan(exp_lbd);
        if (nan < 0) return trace.at(Lines::exp_nan_test);
        if (nan) {
            Ref mean = mean_of_numbers(exp_lambda);
            if (!mean || !to_double(mean.get(), exp_lbd)) return trace.at(Lines::exp_nan_mean);
        }
        nan = is_nan(possion_lbd.get());
        if (nan < 0) return trace.at(Lines::poisson_nan_test);
        if (nan) {
            possion_lbd = mean_of_numbers(possion_lambda);
            if (!possion_lbd) return trace.at(Lines::poisson_nan_mean);
        }
        int still_nan = is_nan(exp_lbd);
        if (still_nan == 0) still_nan = is_nan(possion_lbd.get());
        if (still_nan < 0) return trace.at(Lines::nan_tests);
        if (still_nan) {
            // every background counts as reaching the score, none is drawn
            num_greater = random_num;
            if (rule.stop_after > 0 && num_greater > rule.stop_after) num_greater = rule.stop_after;
            run = num_greater > 0 ? num_greater : 0;
        } else if (rule.skip_unreachable && std::isnan(observed_score(score.get()))) {
            run = 0;
        } else {
            std::optional<int> counted = count_backgrounds(cnv, random_num, score.get(), exp_lbd, possion_lbd.get(),
                                                           rule.stop_after, rule.drawn, run);
            if (!counted) return nullptr;
            num_greater = *counted;
        }
    }
    if (rule.run) *rule.run = run;

    Ref result = Ref::steal(PyDict_New());
    if (!result) return trace.at(Lines::result);
    Ref count = Ref::steal(PyLong_FromLong(num_greater));
    if (!count) return trace.at(Lines::result);
    Ref x_obj = Ref::steal(PyLong_FromLong(x));
    if (!x_obj || PyDict_SetItem(result.get(), names.dc, score.get()) < 0 ||
        PyDict_SetItem(result.get(), names.num_greater, count.get()) < 0 ||
        PyDict_SetItem(result.get(), names.x, x_obj.get()) < 0) {
        return trace.at(Lines::result);
    }
    return result.release();
}

}  // namespace ombrix
