// R statistic: change-point density, gap-skewness weight and variance.
#pragma once

#include "../module/binding.hpp"
#include "array_ops.hpp"

namespace ombrix {

struct CalRLines {
    static constexpr int definition = 239;
    static constexpr int change_points = 241;
    static constexpr int gaps = 251;
    static constexpr int weight = 252;
    static constexpr int variance = 255;
};

// Internal routine: returns -1.0 with the exception pending on failure (a
// caller tests PyErr_Occurred() on -1.0, which is also a possible R).
double cal_r(const FloatVector& cnv_data);
// The same over given array operations (perm_cnv_pyx's permutation).
double cal_r(ArrayOps& ops, const FloatVector& cnv_data);

PyObject* cal_r_entry(const BoundArgs& args);

}  // namespace ombrix
