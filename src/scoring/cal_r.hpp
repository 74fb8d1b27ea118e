// R statistic: change-point density, gap-skewness weight and variance.
#pragma once

#include "../module/binding.hpp"

namespace ombrix {

struct CalRLines {
    static constexpr int definition = 239;
    static constexpr int change_points = 241;
    static constexpr int gaps = 251;
    static constexpr int weight = 252;
    static constexpr int variance = 255;
};

inline constexpr PyObject* (*cal_r_entry)(const BoundArgs&) = nullptr;

}  // namespace ombrix
