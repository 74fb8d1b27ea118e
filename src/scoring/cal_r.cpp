#include "cal_r.hpp"

#include "../array_ops/backend_choice.hpp"
#include "../capi/failures.hpp"
#include "../capi/globals.hpp"
#include "../capi/process_state.hpp"
#include "skew.hpp"

namespace ombrix {

namespace {
constexpr Traceback trace{"ombrix.cal_R_pyx"};
}

std::optional<double> cal_r(ArrayOps& ops, const FloatVector& cnv_data) {
    int N = static_cast<int>(cnv_data.length);

    std::optional<ChangePoints> change_points = ops.change_points_as_double(cnv_data);
    if (!change_points) return trace.at(CalRLines::change_points);
    int n = static_cast<int>(change_points->count());
    if (n < 2) return 0.0;

    std::optional<FloatValues> gaps = ops.gaps(*change_points);
    if (!gaps) return trace.at(CalRLines::gaps);

    Ref exp_fn = np_attr(names.exp);
    if (!exp_fn) return trace.at(CalRLines::weight);
    std::optional<FloatVector> gap_view = ops.bound_view(*gaps);
    if (!gap_view) return trace.at(CalRLines::weight);
    std::optional<double> s = skew(ops, *gap_view);
    if (!s) return trace.at(CalRLines::weight);
    // the weight of +s: 1.0 / (1.0 + exp(-s))
    std::optional<double> w = ops.logistic_weight(exp_fn, -*s, constants.float_1_0);
    if (!w) return trace.at(CalRLines::weight);

    std::optional<double> v = ops.var(cnv_data);
    if (!v) return trace.at(CalRLines::variance);
    return (static_cast<double>(n) / static_cast<double>(N)) * *w * *v;
}

std::optional<double> cal_r(const FloatVector& cnv_data) {
    return with_array_ops(!cnv_data.is_none(), [&](ArrayOps& ops) { return cal_r(ops, cnv_data); });
}

}  // namespace ombrix
