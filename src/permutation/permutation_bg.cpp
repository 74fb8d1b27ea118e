#include "permutation_bg.hpp"

#include <vector>

#include "../module/module_state.hpp"
#include "../module/names.hpp"
#include "../module/numpy_api.hpp"
#include "../module/numpy_calls.hpp"
#include "../scoring/logistic.hpp"
#include "../scoring/ops_choice.hpp"
#include "../scoring/scratch_arrays.hpp"
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

// The merged runs of equal rounded segment means.
struct Runs {
    std::vector<double> means;
    std::vector<long long> lengths;
};

// Adds segment [start, end) of `data`; returns 0 or the failing line.
int add_segment(ArrayOps& ops, const FloatVector& data, int start, int end, Runs& runs) {
    int length = end - start;
    double rounded = 0.0;
    if (!ops.rounded_mean(clamped_segment(data, start, end), rounded)) return Lines::segment_mean;
    double m = static_cast<double>(static_cast<float>(rounded));  // held in single precision
    if (!ops.add_piece(m, length)) return Lines::repeat;
    if (!runs.means.empty() && m == runs.means.back()) {  // NaN opens a run of its own
        runs.lengths.back() += length;
        return 0;
    }
    runs.means.push_back(m);
    runs.lengths.push_back(length);
    return 0;
}

// The run lengths as a float64 vector, in run order.
bool run_length_vector(const std::vector<long long>& lengths, FloatVector& view) {
    if (!scratch_vector(Scratch::run_lengths, static_cast<Py_ssize_t>(lengths.size()), view)) return false;
    auto* values = reinterpret_cast<double*>(const_cast<char*>(view.base));
    for (size_t i = 0; i < lengths.size(); ++i) values[i] = static_cast<double>(lengths[i]);
    return true;
}

// The guarded steps: (w * ratio) * v for two or more runs; raises on failure.
bool score_runs(ArrayOps& ops, const Runs& runs, Py_ssize_t N, double& score) {
    Py_ssize_t r = static_cast<Py_ssize_t>(runs.lengths.size());
    if (r < 2) {
        score = 0.0;
        return true;
    }
    double ratio = static_cast<double>(r) / static_cast<double>(N);
    FloatVector lengths;
    if (!run_length_vector(runs.lengths, lengths)) return false;
    double w = 0.0;
    if (!length_skew_weight(ops, lengths, w)) return false;
    double v = 0.0;
    if (!ops.pieces_variance(v)) return false;
    score = (w * ratio) * v;
    return true;
}

// The steps after the draws: cut positions, segments, runs and the score.
PyObject* resegment_and_score(ArrayOps& ops, const FloatVector& data, double lbd,
                              TypedFloatArray& weights) {
    Py_ssize_t N = data.length;
    int n = static_cast<int>(N);
    if (int line = ops.cut_positions(weights, n, N, EndFilter::DropEqual, kCutLines)) return fail(line);

    Runs runs;
    if (!ops.begin_pieces()) return fail(Lines::pieces_list);
    Py_ssize_t cut_count = ops.cut_count();
    if (cut_count < 0) return fail(Lines::cut_count);
    for (int j = 0; j < cut_count - 1; ++j) {
        if (interrupted_at_segment(j)) return fail(Lines::segment_bounds);
        int start = 0, end = 0;
        if (!cut_to_int(ops.cut_at(j), start) || !cut_to_int(ops.cut_at(j + 1), end)) {
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
        if (int line = add_segment(ops, data, start, end, runs)) return fail(line);
    }

    double score = 0.0;
    if (!score_runs(ops, runs, N, score)) {
        if (!discard_guarded_exception()) return fail(Lines::guarded);
        score = 0.0;
    }
    PyObject* result = PyFloat_FromDouble(score);
    return result ? result : fail(Lines::result);
}

}  // namespace

PyObject* permutation_bg(const FloatVector& data, const FloatMatrix&, double lbd,
                         double possion_lbd, int, int seed) {
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

    return with_array_ops(true, [&](ArrayOps& ops) { return resegment_and_score(ops, data, lbd, weights); });
}

PyObject* permutation_bg_entry(const BoundArgs& args) {
    return permutation_bg(args.vector(0), args.matrix(1), args.real(2), args.real(3),
                          args.integer(4), args.integer(5));
}

}  // namespace ombrix
