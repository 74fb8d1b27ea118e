#include "perm_cnv.hpp"

#include "../array_ops/backend_choice.hpp"
#include "../draws/global_generator.hpp"
#include "../capi/calls.hpp"
#include "../capi/process_state.hpp"
#include "../capi/python_code.hpp"
#include "../capi/scalars.hpp"
#include "../scoring/cal_r.hpp"
#include "resegment.hpp"

namespace ombrix {

namespace {

constexpr Traceback trace{"ombrix.perm_cnv_pyx"};
using Lines = PermCnvLines;

constexpr CutLines kCutLines = {Lines::normalise, Lines::cut_positions, Lines::drop_zero, Lines::drop_tail,
                                Lines::add_bounds};

// The steps after the draw: cut positions, each segment smoothed to its
// mean, and cal_R_pyx of the smoothed profile.
std::optional<double> smooth_and_score(ArrayOps& ops, const FloatVector& cnv_data, int n, TypedFloatArray& weights) {
    std::optional<CutPositions> cut = cut_positions(ops, weights, n, n, EndFilter::DropAtOrAbove, trace, kCutLines);
    if (!cut) return std::nullopt;
    std::optional<Pieces> pieces = ops.begin_pieces(*cut);
    if (!pieces) return trace.at(Lines::pieces_list);
    std::optional<Py_ssize_t> cut_count = ops.cut_count(*cut);
    if (!cut_count) return trace.at(Lines::cut_count);
    int segments = static_cast<int>(*cut_count - 1);
    for (int j = 0; j < *cut_count - 1; ++j) {
        j = ops.mean_pieces(cnv_data, *cut, j, segments, *pieces);  // as far as they are made at once
        if (j >= *cut_count - 1) break;
        if (interrupted_at_segment(j)) return trace.at(Lines::segment);
        int start = 0, end = 0;
        if (!cut_to_int(cut->at(j), start) || !cut_to_int(cut->at(j + 1), end)) {
            PyErr_SetString(PyExc_ValueError, "perm_cnv_pyx(): cut positions are not numbers in 32-bit range");
            return trace.at(Lines::segment);
        }
        if (!ops.mean_piece(*pieces, clamped_segment(cnv_data, start, end), end - start)) {
            return trace.at(Lines::segment);
        }
    }
    std::optional<FloatVector> profile = ops.smoothed_profile(*pieces);
    if (!profile) return trace.at(Lines::r_value);
    std::optional<double> r = cal_r(ops, *profile);
    if (!r) return trace.at(Lines::r_value);
    return r;
}

// One permutation with draw d > 0: reseed with k, cut the profile, smooth
// each segment to its mean and score the result with cal_R_pyx.
std::optional<double> permute(const FloatVector& cnv_data, int n, double exp_lam, int d, int k) {
    TypedFloatArray weights;
    {
        GlobalGenerator draws;
        if (!draws.seed(k)) return trace.at(Lines::reseed);
        // d + 1 in 32-bit arithmetic, wrapping as the draw count did
        int size = static_cast<int>(static_cast<unsigned>(d) + 1u);
        bool drawn = false;
        if (!draw_native_weights(draws, exp_lam, size, weights, drawn)) return trace.at(Lines::exponential);
        if (!drawn) {
            Ref size_obj = Ref::steal(PyLong_FromLong(size));
            if (!size_obj) return trace.at(Lines::exponential);
            if (!assign(weights, draws.exponential(exp_lam, size_obj.get()))) return trace.at(Lines::exponential);
        }
    }
    return with_array_ops(true, [&](ArrayOps& ops) { return smooth_and_score(ops, cnv_data, n, weights); });
}

bool failed(int line) {
    trace.at(line);
    return false;
}

// What a visitor of the permutations asks for next.
enum class Step { Next, Stop, Failed };

Step failed_step(int line) {
    trace.at(line);
    return Step::Failed;
}

// Runs the permutations in order; `visit` gets each one's value (nullptr
// for a zero draw, whose value is the integer 0).
template <typename Visit>
bool for_each_permutation(const FloatVector& cnv_data, double exp_lam, double possion_lam, int random_num, int seed,
                          Visit&& visit) {
    int n = static_cast<int>(cnv_data.length);
    TypedFloatArray draws;
    bool own_draws = false;  // drawn natively: an array that nothing else has seen
    {
        GlobalGenerator generator;
        if (!generator.seed(seed)) return failed(Lines::seed);
        if (!assign(draws, generator.poisson_as_double(possion_lam, random_num, &own_draws))) {
            return failed(Lines::poisson);
        }
    }
    Ref iterator;
    if (!own_draws) {
        iterator = Ref::steal(PyObject_GetIter(draws.object.get()));
        if (!iterator) return failed(Lines::next_draw);
    }
    FinishedAtEnd draws_settled;
    SignalCheck signals;  // a long run stays interruptible
    for (int k = 0;; ++k) {
        if (signals.interrupted_after(n + 1)) return failed(Lines::next_draw);
        int d = 0;
        if (own_draws) {
            // the draws by index, as iterating the array gives them
            if (k >= draws.view.length) return true;
            double drawn = draws.view[k];
            if (drawn >= 0.0 && drawn <= 2147483647.0) {
                d = static_cast<int>(drawn);  // a count: an integer
            } else {
                Ref item = Ref::steal(PySequence_GetItem(draws.object.get(), k));  // int() refuses it
                if (!item || !to_int32(item.get(), d)) return failed(Lines::next_draw);
            }
        } else {
            Ref item = Ref::steal(PyIter_Next(iterator.get()));
            if (!item) {
                if (PyErr_Occurred()) return failed(Lines::next_draw);
                return true;
            }
            if (!to_int32(item.get(), d)) return failed(Lines::next_draw);
        }
        Step step = Step::Next;
        if (d == 0) {
            step = visit(nullptr);
        } else {
            std::optional<double> r = permute(cnv_data, n, exp_lam, d, k);
            if (!r) return false;
            step = visit(&*r);
        }
        if (step != Step::Next) return step == Step::Stop;
    }
}

}  // namespace

PyObject* perm_cnv(const FloatVector& cnv_data, double exp_lam, double possion_lam, int random_num, int seed) {
    // created after the draws, as its traceback line says
    Ref result;
    auto append = [&](const double* r) {
        if (!result) {
            result = Ref::steal(PyList_New(0));
            if (!result) return failed_step(Lines::result_list);
        }
        if (!r) return PyList_Append(result.get(), constants.int_0) < 0 ? failed_step(Lines::append_zero) : Step::Next;
        Ref r_obj = Ref::steal(PyFloat_FromDouble(*r));
        if (!r_obj || PyList_Append(result.get(), r_obj.get()) < 0) return failed_step(Lines::r_value);
        return Step::Next;
    };
    if (!for_each_permutation(cnv_data, exp_lam, possion_lam, random_num, seed, append)) return nullptr;
    if (!result) {
        result = Ref::steal(PyList_New(0));
        if (!result) return trace.at(Lines::result_list);
    }
    return result.release();
}

std::optional<PermutationCount> count_perm_cnv(const FloatVector& cnv_data, double exp_lam, double possion_lam,
                                               int random_num, int seed, double observed, int stop_after) {
    PermutationCount count;
    auto judge = [&](const double* r) {
        ++count.run;
        if ((r ? *r : 0.0) >= observed) ++count.reached;  // NaN on either side reaches nothing
        return stop_after > 0 && count.reached == stop_after ? Step::Stop : Step::Next;
    };
    if (!for_each_permutation(cnv_data, exp_lam, possion_lam, random_num, seed, judge)) return std::nullopt;
    return count;
}

}  // namespace ombrix
