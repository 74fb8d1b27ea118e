#include "permutation_bg.hpp"

#include <algorithm>
#include <vector>

#include "../array_ops/backend_choice.hpp"
#include "../draws/global_generator.hpp"
#include "../array_ops/scratch_arrays.hpp"
#include "../capi/globals.hpp"
#include "../capi/process_state.hpp"
#include "../scoring/logistic.hpp"
#include "resegment.hpp"

namespace ombrix {

namespace {

constexpr Traceback trace{"ombrix.permutation_bg"};
using Lines = PermutationBgLines;

constexpr CutLines kCutLines = {Lines::normalise, Lines::cut_positions, Lines::drop_zero, Lines::drop_end,
                                Lines::add_bounds};

// A segment's rounded mean m and its length into the runs.
void add_run(Runs& runs, double m, long long length) {
    if (!runs.means.empty() && m == runs.means.back()) {  // NaN opens a run of its own
        runs.lengths.back() += length;
        return;
    }
    runs.means.push_back(m);
    runs.lengths.push_back(length);
}

// Adds segment [start, end) of `data`; false with the traceback entry of the
// failing statement.
bool add_segment(ArrayOps& ops, Pieces& pieces, const FloatVector& data, int start, int end, Runs& runs) {
    int length = end - start;
    std::optional<double> rounded = ops.rounded_mean(clamped_segment(data, start, end));
    if (!rounded) {
        trace.at(Lines::segment_mean);
        return false;
    }
    double m = static_cast<double>(static_cast<float>(*rounded));  // held in single precision
    if (!ops.add_piece(pieces, m, length)) {
        trace.at(Lines::repeat);
        return false;
    }
    add_run(runs, m, length);
    return true;
}

// Segments first, first + 1, ... as far as the operations make them at once;
// the first segment left to make one by one.
int add_segments_at_once(ArrayOps& ops, Pieces& pieces, const FloatVector& data, const CutPositions& cut, int first,
                         int segments, Runs& runs, std::vector<Pieces::Run>& made) {
    made.clear();
    int next = ops.rounded_single_pieces(data, cut, first, segments, pieces, made);
    for (const Pieces::Run& piece : made) add_run(runs, piece.value, piece.length);
    return next;
}

// The run lengths as a float64 vector, in run order.
bool run_length_vector(const std::vector<long long>& lengths, FloatVector& view) {
    if (!scratch_vector(Scratch::run_lengths, static_cast<Py_ssize_t>(lengths.size()), view)) return false;
    auto* values = reinterpret_cast<double*>(const_cast<char*>(view.base));
    for (size_t i = 0; i < lengths.size(); ++i) values[i] = static_cast<double>(lengths[i]);
    return true;
}

// The guarded steps: (w * ratio) * v for two or more runs; raises on failure.
std::optional<double> score_runs(ArrayOps& ops, Pieces& pieces, const Runs& runs, Py_ssize_t N) {
    Py_ssize_t r = static_cast<Py_ssize_t>(runs.lengths.size());
    if (r < 2) return 0.0;
    double ratio = static_cast<double>(r) / static_cast<double>(N);
    FloatVector lengths;
    if (!run_length_vector(runs.lengths, lengths)) return std::nullopt;
    std::optional<double> w = length_skew_weight(ops, lengths);
    if (!w) return std::nullopt;
    std::optional<double> v = ops.pieces_variance(pieces);
    if (!v) return std::nullopt;
    return (*w * ratio) * *v;
}

// The steps after the draws: cut positions, segments, runs and the score.
std::optional<double> resegment_and_score(ArrayOps& ops, const FloatVector& data, double lbd, TypedFloatArray& weights,
                                          BackgroundBuffers& buffers) {
    Py_ssize_t N = data.length;
    int n = static_cast<int>(N);
    std::optional<CutPositions> cut = cut_positions(ops, weights, n, N, EndFilter::DropEqual, trace, kCutLines);
    if (!cut) return std::nullopt;

    std::optional<Pieces> pieces = ops.begin_pieces(*cut);
    if (!pieces) return trace.at(Lines::pieces_list);
    std::optional<Py_ssize_t> cut_count = ops.cut_count(*cut);
    if (!cut_count) return trace.at(Lines::cut_count);
    Runs& runs = buffers.runs;
    runs.means.clear();
    runs.lengths.clear();
    int segments = static_cast<int>(*cut_count - 1);
    // at most a run a segment: allocated once, not once per doubling
    runs.means.reserve(static_cast<size_t>(std::max(segments, 0)));
    runs.lengths.reserve(static_cast<size_t>(std::max(segments, 0)));
    std::vector<Pieces::Run>& made = buffers.made;
    made.reserve(static_cast<size_t>(std::max(segments, 0)));
    for (int j = 0; j < *cut_count - 1; ++j) {
        j = add_segments_at_once(ops, *pieces, data, *cut, j, segments, runs, made);
        if (j >= *cut_count - 1) break;
        if (interrupted_at_segment(j)) return trace.at(Lines::segment_bounds);
        int start = 0, end = 0;
        if (!cut_to_int(cut->at(j), start) || !cut_to_int(cut->at(j + 1), end)) {
            Ref lbd_obj = Ref::steal(PyFloat_FromDouble(lbd));
            if (lbd_obj) {
                PyErr_Format(PyExc_ValueError,
                             "permutation_bg(): lbd must be a positive finite number, got %R: its "
                             "weights give cut positions that are not numbers",
                             lbd_obj.get());
            }
            return trace.at(Lines::segment_bounds);
        }
        if (end < start) continue;  // runs backwards past the end of data
        if (!add_segment(ops, *pieces, data, start, end, runs)) return std::nullopt;
    }

    std::optional<double> score = score_runs(ops, *pieces, runs, N);
    if (!score) {
        if (!discard_guarded_exception()) return trace.at(Lines::guarded);
        score = 0.0;
    }
    return score;
}

// d = np.random.poisson(possion_lbd); np.random.exponential(lbd, size=max(d, 1)):
// drawn natively into a reused array where the replica makes both draws,
// else through NumPy's objects. False with the traceback entry added.
bool draw_weights(double lbd, double possion_lbd, int seed, TypedFloatArray& weights) {
    GlobalGenerator draws;
    if (!draws.seed(seed)) {
        trace.at(Lines::seed);
        return false;
    }
    Ref d;
    if (std::optional<long long> count = draws.native_poisson(possion_lbd)) {
        bool drawn = false;
        if (!draw_native_weights(draws, lbd, *count > 1 ? *count : 1, weights, drawn)) {
            trace.at(Lines::exponential);
            return false;
        }
        if (drawn) return true;
        d = Ref::steal(PyLong_FromLongLong(*count));  // NumPy's call makes the exponentials
    } else {
        d = draws.poisson(possion_lbd);
    }
    if (!d) {
        trace.at(Lines::poisson);
        return false;
    }
    int above_one = PyObject_RichCompareBool(d.get(), constants.int_1, Py_GT);
    if (above_one < 0 || !assign(weights, draws.exponential(lbd, above_one ? d.get() : constants.int_1))) {
        trace.at(Lines::exponential);
        return false;
    }
    return true;
}

}  // namespace

std::optional<BackgroundValue> background_value(const FloatVector& data, double lbd, double possion_lbd, int seed,
                                                BackgroundBuffers& buffers) {
    TypedFloatArray weights;
    if (!draw_weights(lbd, possion_lbd, seed, weights)) return std::nullopt;
    Py_ssize_t weight_count = PyObject_Length(weights.object.get());
    if (weight_count < 0) return trace.at(Lines::weights_length);
    if (weight_count <= 2) {
        Ref inf = np_attr(names.inf);
        if (!inf) return trace.at(Lines::inf);
        return BackgroundValue{0.0, std::move(inf)};
    }

    std::optional<double> score =
        with_array_ops(true, [&](ArrayOps& ops) { return resegment_and_score(ops, data, lbd, weights, buffers); });
    if (!score) return std::nullopt;
    return BackgroundValue{*score, {}};
}

PyObject* permutation_bg(const FloatVector& data, const FloatMatrix&, double lbd, double possion_lbd, int,
                         int seed) {
    BackgroundBuffers buffers;
    std::optional<BackgroundValue> background = background_value(data, lbd, possion_lbd, seed, buffers);
    if (!background) return nullptr;
    if (background->object) return background->object.release();
    PyObject* result = PyFloat_FromDouble(background->value);
    if (!result) return trace.at(Lines::result);
    return result;
}

}  // namespace ombrix
