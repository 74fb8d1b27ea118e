// The seven published functions: each row's parameters and defaults, and the
// entry that hands its bound arguments, typed by the kinds the row declares,
// to the function's routine and converts the result to a Python object.
#include "function_table.hpp"

#include <iterator>
#include <optional>
#include <utility>

#include "../permutation/perm_cnv.hpp"
#include "../permutation/permutation_bg.hpp"
#include "../permutation/permutation_score.hpp"
#include "../scoring/cal_limit.hpp"
#include "../scoring/cal_r.hpp"
#include "../scoring/ombrix_score.hpp"
#include "../scoring/skew.hpp"

namespace ombrix {

namespace {

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

// The routine called with every bound argument as the typed value of the
// kind its row declares: the row is the one declaration of each parameter,
// and a routine whose parameters do not take those kinds does not compile.
template <const auto& params, const auto& routine, std::size_t... i>
auto call_with(const BoundArgs& args, std::index_sequence<i...>) {
    return routine(args.get<params[i].kind>(i)...);
}

template <const auto& params, const auto& routine>
auto call_with(const BoundArgs& args) {
    return call_with<params, routine>(args, std::make_index_sequence<std::size(params)>{});
}

// The routines as the entries call them, each argument passed on as bound
// (overloads and defaulted parameters resolved by the call itself).
constexpr auto skew_routine = [](const auto&... a) { return skew(a...); };
// chr_pos and coverage_thr are bound (and checked) but take no part
constexpr auto ombrix_routine = [](const auto& cnv_data, const auto&) { return ombrix_score(cnv_data); };
constexpr auto cal_limit_routine = [](const auto& x, const auto&) { return cal_limit(x); };
constexpr auto permutation_bg_routine = [](const auto&... a) { return permutation_bg(a...); };
constexpr auto permutation_score_routine = [](const auto&... a) { return permutation_score(a...); };
constexpr auto cal_r_routine = [](const auto&... a) { return cal_r(a...); };
constexpr auto perm_cnv_routine = [](const auto&... a) { return perm_cnv(a...); };

// An entry over a routine that returns the result object.
template <const auto& params, const auto& routine>
PyObject* entry(const BoundArgs& args) {
    return call_with<params, routine>(args);
}

// An entry over a routine that returns a double: a Python float, or no
// object when the routine failed.
template <const auto& params, const auto& routine>
PyObject* float_entry(const BoundArgs& args) {
    std::optional<double> value = call_with<params, routine>(args);
    return value ? PyFloat_FromDouble(*value) : nullptr;
}

const FunctionSpec table[] = {
    {"skew", "ombrix.skew", skew_params, {}, SkewLines::definition, float_entry<skew_params, skew_routine>, true},
    {"ombrix", "ombrix.ombrix", ombrix_params, {}, OmbrixLines::definition, entry<ombrix_params, ombrix_routine>,
     true},
    {"cal_limit", "ombrix.cal_limit", cal_limit_params, cal_limit_defaults, CalLimitLines::definition,
     entry<cal_limit_params, cal_limit_routine>, false},
    {"permutation_bg", "ombrix.permutation_bg", permutation_bg_params, permutation_bg_defaults,
     PermutationBgLines::definition, entry<permutation_bg_params, permutation_bg_routine>, true},
    {"permutation_score", "ombrix.permutation_score", permutation_score_params, {},
     PermutationScoreLines::definition, entry<permutation_score_params, permutation_score_routine>, true},
    {"cal_R_pyx", "ombrix.cal_R_pyx", cal_r_params, {}, CalRLines::definition, float_entry<cal_r_params, cal_r_routine>,
     true},
    {"perm_cnv_pyx", "ombrix.perm_cnv_pyx", perm_cnv_params, {}, PermCnvLines::definition,
     entry<perm_cnv_params, perm_cnv_routine>, true},
};

}  // namespace

std::span<const FunctionSpec> function_table() { return table; }

}  // namespace ombrix
