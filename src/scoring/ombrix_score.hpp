// Rearrangement score of a profile, with its segment table.
#pragma once

#include "../capi/views.hpp"

namespace ombrix {

struct OmbrixLines {
    static constexpr int definition = 26;
    static constexpr int chr_pos = 27;
    static constexpr int change_points = 35;
    static constexpr int table = 37;
    static constexpr int start_column = 38;
    static constexpr int end_column = 39;
    static constexpr int length_column = 40;
    static constexpr int score_block = 42;  // what the score computation lets through
    static constexpr int result = 62;
    static constexpr int score_float = 63;
};

// Internal routine: the result dictionary, or nullptr with the exception
// pending. chr_pos takes no part.
PyObject* ombrix_score(const FloatVector& cnv_data);

}  // namespace ombrix
