// Coverage limit: the share of non-modal values one unit from the mode.
#pragma once

#include "../capi/views.hpp"

namespace ombrix {

struct CalLimitLines {
    static constexpr int definition = 67;
    static constexpr int arguments = 70;
    static constexpr int none_check = 77;
    static constexpr int new_key = 81;
    static constexpr int distinct = 84;
    static constexpr int result = 103;
};

// The value (a float, or the int -1), or nullptr with the exception
// pending. coverage_thr is bound but takes no part.
PyObject* cal_limit(const FloatVector& x);

}  // namespace ombrix
