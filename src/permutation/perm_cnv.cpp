#include "perm_cnv.hpp"

#include "../module/convert.hpp"
#include "../module/module_state.hpp"
#include "../module/names.hpp"
#include "../module/numpy_calls.hpp"
#include "../scoring/cal_r.hpp"
#include "../scoring/ops_choice.hpp"
#include "resegment.hpp"

namespace ombrix {

namespace {

constexpr const char* kQualname = "ombrix.perm_cnv_pyx";
using Lines = PermCnvLines;

constexpr CutLines kCutLines = {Lines::normalise, Lines::cut_positions, Lines::drop_zero,
                                Lines::drop_tail, Lines::add_bounds};

PyObject* fail(int line) {
    add_traceback(kQualname, line);
    return nullptr;
}

// The steps after the draw: cut positions, each segment smoothed to its
// mean, and cal_R_pyx of the smoothed profile. Returns 0 or the failing line.
int smooth_and_score(ArrayOps& ops, const FloatVector& cnv_data, int n, TypedFloatArray& weights,
                     double& r) {
    if (int line = ops.cut_positions(weights, n, n, EndFilter::DropAtOrAbove, kCutLines)) return line;
    if (!ops.begin_pieces()) return Lines::pieces_list;
    Py_ssize_t cut_count = ops.cut_count();
    if (cut_count < 0) return Lines::cut_count;
    for (int j = 0; j < cut_count - 1; ++j) {
        if (interrupted_at_segment(j)) return Lines::segment;
        int start = 0, end = 0;
        if (!cut_to_int(ops.cut_at(j), start) || !cut_to_int(ops.cut_at(j + 1), end)) {
            PyErr_SetString(PyExc_ValueError,
                            "perm_cnv_pyx(): cut positions are not numbers in 32-bit range");
            return Lines::segment;
        }
        if (!ops.mean_piece(clamped_segment(cnv_data, start, end), end - start)) return Lines::segment;
    }
    FloatVector profile;
    if (!ops.smoothed_profile(profile)) return Lines::r_value;
    r = cal_r(ops, profile);
    if (r == -1.0 && PyErr_Occurred()) return Lines::r_value;
    return 0;
}

// One permutation with draw d > 0: reseed with k, cut the profile, smooth
// each segment to its mean and score the result with cal_R_pyx. Returns 0
// and the R value, or the failing line.
int permute(const FloatVector& cnv_data, int n, double exp_lam, int d, int k, double& r) {
    {
        Ref k_obj = Ref::steal(PyLong_FromLong(k));
        if (!k_obj || !random_call(names.seed, {k_obj.get()})) return Lines::reseed;
    }
    TypedFloatArray weights;
    {
        // d + 1 in 32-bit arithmetic, wrapping as the draw count did
        int size = static_cast<int>(static_cast<unsigned>(d) + 1u);
        Ref scale = Ref::steal(PyFloat_FromDouble(exp_lam));
        Ref size_obj = scale ? Ref::steal(PyLong_FromLong(size)) : Ref();
        Ref drawn = size_obj ? random_call(names.exponential, {scale.get(), size_obj.get()},
                                           constants.size_kwnames)
                             : Ref();
        if (!assign(weights, std::move(drawn))) return Lines::exponential;
    }
    return with_array_ops(true, [&](ArrayOps& ops) { return smooth_and_score(ops, cnv_data, n, weights, r); });
}

}  // namespace

PyObject* perm_cnv(const FloatVector& cnv_data, double exp_lam, double possion_lam, int random_num,
                   int seed) {
    int n = static_cast<int>(cnv_data.length);
    {
        Ref seed_obj = Ref::steal(PyLong_FromLong(seed));
        if (!seed_obj || !random_call(names.seed, {seed_obj.get()})) return fail(Lines::seed);
    }
    TypedFloatArray draws;
    {
        Ref lam = Ref::steal(PyFloat_FromDouble(possion_lam));
        Ref count = lam ? Ref::steal(PyLong_FromLong(random_num)) : Ref();
        Ref drawn = count ? random_call(names.poisson, {lam.get(), count.get()},
                                        constants.size_kwnames)
                          : Ref();
        Ref as_double = drawn ? call_method(drawn.get(), names.astype, {names.double_}) : Ref();
        if (!assign(draws, std::move(as_double))) return fail(Lines::poisson);
    }
    Ref result = Ref::steal(PyList_New(0));
    if (!result) return fail(Lines::result_list);
    Ref iterator = Ref::steal(PyObject_GetIter(draws.object.get()));
    if (!iterator) return fail(Lines::next_draw);
    for (int k = 0;; ++k) {
        if (PyErr_CheckSignals() < 0) return fail(Lines::next_draw);  // stays interruptible
        Ref item = Ref::steal(PyIter_Next(iterator.get()));
        if (!item) {
            if (PyErr_Occurred()) return fail(Lines::next_draw);
            break;
        }
        int d = 0;
        if (!to_int32(item.get(), d)) return fail(Lines::next_draw);
        if (d == 0) {
            if (PyList_Append(result.get(), constants.int_0) < 0) return fail(Lines::append_zero);
            continue;
        }
        double r = 0.0;
        if (int line = permute(cnv_data, n, exp_lam, d, k, r)) return fail(line);
        Ref r_obj = Ref::steal(PyFloat_FromDouble(r));
        if (!r_obj || PyList_Append(result.get(), r_obj.get()) < 0) return fail(Lines::r_value);
    }
    return result.release();
}

PyObject* perm_cnv_entry(const BoundArgs& args) {
    return perm_cnv(args.vector(0), args.real(1), args.real(2), args.integer(3), args.integer(4));
}

}  // namespace ombrix
