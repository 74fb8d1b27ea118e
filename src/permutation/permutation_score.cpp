#include "permutation_score.hpp"

#include <cmath>

#include "../module/module_state.hpp"
#include "../module/names.hpp"
#include "../module/numpy_calls.hpp"
#include "../scoring/ombrix_score.hpp"
#include "permutation_bg.hpp"

namespace ombrix {

namespace {

constexpr const char* kQualname = "ombrix.permutation_score";
using Lines = PermutationScoreLines;

PyObject* fail(int line) {
    add_traceback(kQualname, line);
    return nullptr;
}

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
    Ref result = isnan ? call(isnan, {value}) : Ref();
    return result ? PyObject_IsTrue(result.get()) : -1;
}

int is_nan(double value) {
    Ref obj = Ref::steal(PyFloat_FromDouble(value));
    return obj ? is_nan(obj.get()) : -1;
}

// np.mean(values, where=~np.isnan(values)): the mean of the entries that are
// not NaN.
Ref mean_of_numbers(const FloatVector& values) {
    Ref mean = np_attr(names.mean);
    Ref view = mean ? make_view_object(values) : Ref();
    Ref isnan = view ? np_attr(names.isnan) : Ref();
    Ref mask_view = isnan ? make_view_object(values) : Ref();
    Ref mask = mask_view ? call(isnan, {mask_view.get()}) : Ref();
    Ref numbers = mask ? Ref::steal(PyNumber_Invert(mask.get())) : Ref();
    return numbers ? call_kw(mean, {view.get(), numbers.get()}, constants.where_kwnames) : Ref();
}

// Counts the backgrounds i = 1 .. random_num that reach the observed score;
// returns 0 or the failing line.
int count_backgrounds(const BoundArgs& args, PyObject* score, double exp_lbd, PyObject* possion_lbd,
                      int& num_greater) {
    const FloatVector& cnv = args.vector(1);
    int random_num = args.integer(6);
    for (int i = 1; i <= random_num; ++i) {
        if (PyErr_CheckSignals() < 0) return Lines::background;  // a long run stays interruptible
        double p = 0.0;
        if (!to_double(possion_lbd, p)) return Lines::background_args;
        Py_ssize_t size = -1;
        {
            Ref table = Ref::steal(PyObject_GetItem(score, names.smooth_segment));
            size = table ? PyObject_Length(table.get()) : -1;
            if (size < 0) return Lines::background_args;
        }
        double background = 0.0;
        {
            Ref value = Ref::steal(permutation_bg(cnv, args.matrix(2), exp_lbd, p,
                                                  static_cast<int>(size), i));
            if (!value || !to_double(value.get(), background)) return Lines::background;
        }
        Ref widened = Ref::steal(PyFloat_FromDouble(to_single(background)));
        Ref observed = widened ? Ref::steal(PyObject_GetItem(score, names.rearrange_score)) : Ref();
        Ref reached = observed ? Ref::steal(PyObject_RichCompare(widened.get(), observed.get(), Py_GE))
                               : Ref();
        int truth = reached ? PyObject_IsTrue(reached.get()) : -1;
        if (truth < 0) return Lines::compare;
        if (truth) ++num_greater;
    }
    return 0;
}

}  // namespace

PyObject* permutation_score_entry(const BoundArgs& args) {
    int x = args.integer(0);
    const FloatVector& cnv = args.vector(1);
    const FloatVector& exp_lambda = args.vector(3);
    const FloatVector& possion_lambda = args.vector(4);
    int chr_num = args.integer(5);
    int random_num = args.integer(6);

    Ref score = Ref::steal(ombrix_score(cnv));
    if (!score) return fail(Lines::score);
    double limit = 0.0;
    {
        Ref cal_limit = lookup_global(names.cal_limit);
        Ref view = cal_limit ? make_view_object(cnv) : Ref();
        Ref value = view ? call(cal_limit, {view.get(), constants.float_0_6}) : Ref();
        if (!value || !to_double(value.get(), limit)) return fail(Lines::limit);
        limit = to_single(limit);
    }
    {
        Ref limit_obj = Ref::steal(PyFloat_FromDouble(limit));
        if (!limit_obj || PyObject_SetItem(score.get(), names.limit, limit_obj.get()) < 0) {
            return fail(Lines::store_limit);
        }
    }
    double exp_lbd = 0.0, possion_value = 0.0;
    if (!read_lambda(exp_lambda, x, "x", "exp_lambda", exp_lbd) ||
        !read_lambda(possion_lambda, chr_num, "chr_num", "possion_lambda", possion_value)) {
        return fail(Lines::read_lambdas);
    }
    Ref possion_lbd = Ref::steal(PyFloat_FromDouble(possion_value));
    if (!possion_lbd) return fail(Lines::read_lambdas);

    int num_greater = 0;
    if (args.truth(7)) {
        int nan = is_nan(exp_lbd);
        if (nan < 0) return fail(Lines::exp_nan_test);
        if (nan) {
            Ref mean = mean_of_numbers(exp_lambda);
            if (!mean || !to_double(mean.get(), exp_lbd)) return fail(Lines::exp_nan_mean);
        }
        nan = is_nan(possion_lbd.get());
        if (nan < 0) return fail(Lines::poisson_nan_test);
        if (nan) {
            possion_lbd = mean_of_numbers(possion_lambda);
            if (!possion_lbd) return fail(Lines::poisson_nan_mean);
        }
        int still_nan = is_nan(exp_lbd);
        if (still_nan == 0) still_nan = is_nan(possion_lbd.get());
        if (still_nan < 0) return fail(Lines::nan_tests);
        if (still_nan) {
            num_greater = random_num;  // every background counts as reaching the score
        } else if (int line = count_backgrounds(args, score.get(), exp_lbd, possion_lbd.get(),
                                                num_greater)) {
            return fail(line);
        }
    }

    Ref result = Ref::steal(PyDict_New());
    Ref count = result ? Ref::steal(PyLong_FromLong(num_greater)) : Ref();
    Ref x_obj = count ? Ref::steal(PyLong_FromLong(x)) : Ref();
    if (!x_obj || PyDict_SetItem(result.get(), names.dc, score.get()) < 0 ||
        PyDict_SetItem(result.get(), names.num_greater, count.get()) < 0 ||
        PyDict_SetItem(result.get(), names.x, x_obj.get()) < 0) {
        return fail(Lines::result);
    }
    return result.release();
}

}  // namespace ombrix
