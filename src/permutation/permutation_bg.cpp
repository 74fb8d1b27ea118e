#include "permutation_bg.hpp"

#include "../module/module_state.hpp"
#include "../module/names.hpp"
#include "../module/numpy_api.hpp"
#include "../module/numpy_calls.hpp"
#include "../scoring/logistic.hpp"
#include "resegment.hpp"

namespace ombrix {

namespace {

constexpr const char* kQualname = "ombrix.permutation_bg";
using Lines = PermutationBgLines;

constexpr CutLines kCutLines = {Lines::normalise, Lines::cut_positions, Lines::drop_zero,
                                Lines::drop_end, Lines::add_bounds};

PyObject* fail(int line) {
    add_traceback(kQualname, line);
    return nullptr;
}

// The merged runs of equal rounded segment means, and the pieces of the
// smoothed profile.
struct Runs {
    Ref lengths;  // list of int
    Ref means;    // list of float
    Ref pieces;   // list of arrays
};

// Appends segment [start, end) of `data`; returns 0 or the failing line.
int add_segment(const FloatVector& data, int start, int end, Runs& runs) {
    int length = end - start;
    float m = 0.0f;
    {
        Ref round = np_attr(names.round);
        Ref mean = round ? np_attr(names.mean) : Ref();
        Ref view = mean ? make_view_object(clamped_segment(data, start, end)) : Ref();
        Ref segment_mean = view ? call(mean, {view.get()}) : Ref();
        Ref rounded = segment_mean ? call(round, {segment_mean.get()}) : Ref();
        double value = 0.0;
        if (!rounded || !to_double(rounded.get(), value)) return Lines::segment_mean;
        m = static_cast<float>(value);
    }
    Ref mean_obj = Ref::steal(PyFloat_FromDouble(static_cast<double>(m)));
    Ref length_obj = Ref::steal(PyLong_FromLong(length));
    {
        Ref repeat = mean_obj && length_obj ? np_attr(names.repeat) : Ref();
        Ref piece = repeat ? call(repeat, {mean_obj.get(), length_obj.get()}) : Ref();
        if (!piece || PyList_Append(runs.pieces.get(), piece.get()) < 0) return Lines::repeat;
    }
    Py_ssize_t run_count = PyList_GET_SIZE(runs.means.get());
    if (run_count == 0) {
        if (PyList_Append(runs.means.get(), mean_obj.get()) < 0) return Lines::first_run_mean;
        if (PyList_Append(runs.lengths.get(), length_obj.get()) < 0) return Lines::first_run_length;
        return 0;
    }
    int same = PyObject_RichCompareBool(mean_obj.get(),
                                        PyList_GET_ITEM(runs.means.get(), run_count - 1), Py_EQ);
    if (same < 0) return Lines::compare_mean;
    if (same) {
        Py_ssize_t last = PyList_GET_SIZE(runs.lengths.get()) - 1;
        Ref extended = Ref::steal(
            PyNumber_Add(PyList_GET_ITEM(runs.lengths.get(), last), length_obj.get()));
        if (!extended || PyList_SetItem(runs.lengths.get(), last, extended.release()) < 0) {
            return Lines::extend_run;
        }
        return 0;
    }
    if (PyList_Append(runs.means.get(), mean_obj.get()) < 0) return Lines::new_run_mean;
    if (PyList_Append(runs.lengths.get(), length_obj.get()) < 0) return Lines::new_run_length;
    return 0;
}

// The run lengths as a float64 vector, in run order.
bool run_length_vector(PyObject* lengths, Ref& array, FloatVector& view) {
    npy_intp count = PyList_GET_SIZE(lengths);
    array = Ref::steal(PyArray_SimpleNew(1, &count, NPY_DOUBLE));
    if (!array) return false;
    auto* values = static_cast<double*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(array.get())));
    for (npy_intp i = 0; i < count; ++i) {
        values[i] = PyLong_AsDouble(PyList_GET_ITEM(lengths, i));
        if (values[i] == -1.0 && PyErr_Occurred()) return false;
    }
    return bind_vector(array.get(), kDouble, true, view);
}

// The guarded steps: (w * ratio) * v for two or more runs; raises on failure.
bool score_runs(const Runs& runs, Py_ssize_t N, double& score) {
    Py_ssize_t r = PyList_GET_SIZE(runs.lengths.get());
    if (r < 2) {
        score = 0.0;
        return true;
    }
    double ratio = static_cast<double>(r) / static_cast<double>(N);
    Ref lengths_array;
    FloatVector lengths;
    if (!run_length_vector(runs.lengths.get(), lengths_array, lengths)) return false;
    double w = 0.0;
    if (!length_skew_weight(lengths, w)) return false;

    double v = 0.0;
    Ref var_fn = np_attr(names.var);
    Ref concatenate = var_fn ? np_attr(names.concatenate) : Ref();
    Ref smoothed = concatenate ? call(concatenate, {runs.pieces.get()}) : Ref();
    Ref variance = smoothed ? call(var_fn, {smoothed.get()}) : Ref();
    if (!variance || !to_double(variance.get(), v)) return false;

    score = (w * ratio) * v;
    return true;
}

}  // namespace

PyObject* permutation_bg(const FloatVector& data, const FloatMatrix&, double lbd,
                         double possion_lbd, int, int seed) {
    Py_ssize_t N = data.length;
    int n = static_cast<int>(N);
    {
        Ref seed_obj = Ref::steal(PyLong_FromLong(seed));
        if (!seed_obj || !random_call(names.seed, {seed_obj.get()})) return fail(Lines::seed);
    }
    Ref d;
    {
        Ref lam = Ref::steal(PyFloat_FromDouble(possion_lbd));
        d = lam ? random_call(names.poisson, {lam.get()}) : Ref();
        if (!d) return fail(Lines::poisson);
    }
    TypedFloatArray weights;
    {
        int above_one = PyObject_RichCompareBool(d.get(), constants.int_1, Py_GT);
        if (above_one < 0) return fail(Lines::exponential);
        PyObject* size = above_one ? d.get() : constants.int_1;
        Ref scale = Ref::steal(PyFloat_FromDouble(lbd));
        Ref drawn = scale ? random_call(names.exponential, {scale.get(), size}, constants.size_kwnames)
                          : Ref();
        if (!assign(weights, std::move(drawn))) return fail(Lines::exponential);
    }
    Py_ssize_t weight_count = PyObject_Length(weights.object.get());
    if (weight_count < 0) return fail(Lines::weights_length);
    if (weight_count <= 2) {
        Ref inf = np_attr(names.inf);
        return inf ? inf.release() : fail(Lines::inf);
    }

    TypedFloatArray cut;
    if (int line = make_cut_positions(weights, n, N, EndFilter::DropEqual, kCutLines, cut)) {
        return fail(line);
    }

    Runs runs;
    if (!(runs.lengths = Ref::steal(PyList_New(0)))) return fail(Lines::run_lengths_list);
    if (!(runs.means = Ref::steal(PyList_New(0)))) return fail(Lines::run_means_list);
    if (!(runs.pieces = Ref::steal(PyList_New(0)))) return fail(Lines::pieces_list);
    Py_ssize_t cut_count = PyObject_Length(cut.object.get());
    if (cut_count < 0) return fail(Lines::cut_count);
    for (int j = 0; j < cut_count - 1; ++j) {
        int start = 0, end = 0;
        if (!cut_to_int(cut.view[j], start) || !cut_to_int(cut.view[j + 1], end)) {
            Ref lbd_obj = Ref::steal(PyFloat_FromDouble(lbd));
            if (lbd_obj) {
                PyErr_Format(PyExc_ValueError,
                             "permutation_bg(): lbd must be a positive finite number, got %R: its "
                             "weights give cut positions that are not numbers",
                             lbd_obj.get());
            }
            return fail(Lines::segment_bounds);
        }
        if (end < start) continue;  // runs backwards past the end of data
        if (int line = add_segment(data, start, end, runs)) return fail(line);
    }

    double score = 0.0;
    if (!score_runs(runs, N, score)) {
        if (!discard_guarded_exception()) return fail(Lines::guarded);
        score = 0.0;
    }
    PyObject* result = PyFloat_FromDouble(score);
    return result ? result : fail(Lines::result);
}

PyObject* permutation_bg_entry(const BoundArgs& args) {
    return permutation_bg(args.vector(0), args.matrix(1), args.real(2), args.real(3),
                          args.integer(4), args.integer(5));
}

}  // namespace ombrix
