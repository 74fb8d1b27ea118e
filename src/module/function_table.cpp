// The seven published functions: each row's parameters and defaults, and the
// entry that unpacks its bound arguments for the function's routine and
// converts the result back to a Python object.
#include "function_table.hpp"

#include "../permutation/perm_cnv.hpp"
#include "../permutation/permutation_bg.hpp"
#include "../permutation/permutation_score.hpp"
#include "../scoring/cal_limit.hpp"
#include "../scoring/cal_r.hpp"
#include "../scoring/ombrix_score.hpp"
#include "../scoring/skew.hpp"

namespace ombrix {

namespace {

// A double result as a Python float; no object when the routine failed.
PyObject* float_result(std::optional<double> value) {
    if (!value) return nullptr;
    return PyFloat_FromDouble(*value);
}

PyObject* skew_entry(const BoundArgs& args) { return float_result(skew(args.vector(0))); }

PyObject* ombrix_entry(const BoundArgs& args) { return ombrix_score(args.vector(0)); }

PyObject* cal_limit_entry(const BoundArgs& args) { return cal_limit(args.vector(0)); }

PyObject* permutation_bg_entry(const BoundArgs& args) {
    return permutation_bg(args.vector(0), args.matrix(1), args.real(2), args.real(3), args.integer(4),
                          args.integer(5));
}

PyObject* permutation_score_entry(const BoundArgs& args) {
    return permutation_score(args.integer(0), args.vector(1), args.matrix(2), args.vector(3), args.vector(4),
                             args.integer(5), args.integer(6), args.truth(7));
}

PyObject* cal_r_entry(const BoundArgs& args) { return float_result(cal_r(args.vector(0))); }

PyObject* perm_cnv_entry(const BoundArgs& args) {
    return perm_cnv(args.vector(0), args.real(1), args.real(2), args.integer(3), args.integer(4));
}

using K = ParamKind;

constexpr ParamSpec skew_params[] = {
    {"data", K::FloatVector, SkewLines::definition},
};

constexpr ParamSpec ombrix_params[] = {
    {"cnv_data", K::FloatVector, OmbrixLines::definition},
    {"chr_pos", K::FloatMatrix, OmbrixLines::chr_pos},
};

constexpr ParamSpec cal_limit_params[] = {
    {"x", K::FloatVector, CalLimitLines::arguments},
    {"coverage_thr", K::Double, CalLimitLines::arguments},
};
constexpr DefaultValue cal_limit_defaults[] = {{DefaultValue::Kind::Float, 0.6}};

constexpr ParamSpec permutation_bg_params[] = {
    {"data", K::FloatVector, PermutationBgLines::definition},
    {"chr_pos", K::FloatMatrix, PermutationBgLines::chr_pos},
    {"lbd", K::Double, PermutationBgLines::scalars},
    {"possion_lbd", K::Double, PermutationBgLines::scalars},
    {"size", K::Int32, PermutationBgLines::scalars},
    {"seed", K::Int32, PermutationBgLines::scalars},
};
constexpr DefaultValue permutation_bg_defaults[] = {{DefaultValue::Kind::Int, 1}};

constexpr ParamSpec permutation_score_params[] = {
    {"x", K::Int32, PermutationScoreLines::definition},
    {"cnv", K::FloatVector, PermutationScoreLines::definition},
    {"gene_loc", K::FloatMatrix, PermutationScoreLines::definition},
    {"exp_lambda", K::FloatVector, PermutationScoreLines::exp_lambda},
    {"possion_lambda", K::FloatVector, PermutationScoreLines::later_params},
    {"chr_num", K::Int32, PermutationScoreLines::later_params},
    {"random_num", K::Int32, PermutationScoreLines::later_params},
    {"random", K::Truth, PermutationScoreLines::later_params},
};

constexpr ParamSpec cal_r_params[] = {
    {"cnv_data", K::FloatVector, CalRLines::definition},
};

constexpr ParamSpec perm_cnv_params[] = {
    {"cnv_data", K::FloatVector, PermCnvLines::definition},
    {"exp_lam", K::Double, PermCnvLines::definition},
    {"possion_lam", K::Double, PermCnvLines::definition},
    {"random_num", K::Int32, PermCnvLines::definition},
    {"seed", K::Int32, PermCnvLines::definition},
};

const FunctionSpec table[] = {
    {"skew", "ombrix.skew", skew_params, {}, SkewLines::definition, skew_entry, true},
    {"ombrix", "ombrix.ombrix", ombrix_params, {}, OmbrixLines::definition, ombrix_entry, true},
    {"cal_limit", "ombrix.cal_limit", cal_limit_params, cal_limit_defaults, CalLimitLines::definition,
     cal_limit_entry, false},
    {"permutation_bg", "ombrix.permutation_bg", permutation_bg_params, permutation_bg_defaults,
     PermutationBgLines::definition, permutation_bg_entry, true},
    {"permutation_score", "ombrix.permutation_score", permutation_score_params, {},
     PermutationScoreLines::definition, permutation_score_entry, true},
    {"cal_R_pyx", "ombrix.cal_R_pyx", cal_r_params, {}, CalRLines::definition, cal_r_entry, true},
    {"perm_cnv_pyx", "ombrix.perm_cnv_pyx", perm_cnv_params, {}, PermCnvLines::definition, perm_cnv_entry,
     true},
};

}  // namespace

std::span<const FunctionSpec> function_table() { return table; }

}  // namespace ombrix
