// R statistic: change-point density, gap-skewness weight and variance.
#pragma once

#include "../array_ops/array_ops.hpp"

namespace ombrix {

struct CalRLines {
    static constexpr int definition = 239;
    static constexpr int change_points = 241;
    static constexpr int gaps = 251;
    static constexpr int weight = 252;
    static constexpr int variance = 255;
};

// Internal routine: empty with the exception pending on failure.
std::optional<double> cal_r(const FloatVector& cnv_data);
// The same over given array operations (perm_cnv_pyx's permutation).
std::optional<double> cal_r(ArrayOps& ops, const FloatVector& cnv_data);

}  // namespace ombrix
