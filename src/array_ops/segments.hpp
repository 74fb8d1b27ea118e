// The segments of a profile between two cut positions, as the permutation
// backgrounds take them: a cut position's integer value, and the slice.
#pragma once

#include "../capi/views.hpp"

namespace ombrix {

// A cut position truncated toward zero into a signed 32-bit integer; false
// when it has no such value (NaN, infinite or out of range).
inline bool cut_to_int(double position, int& out) {
    if (!(position > -2147483649.0 && position < 2147483648.0)) return false;
    out = static_cast<int>(position);
    return true;
}

// An index of a slice under the interpreter's rules: a negative one counts
// from the end, and both are clamped to the length.
inline Py_ssize_t clamped_index(Py_ssize_t index, Py_ssize_t length) {
    if (index < 0) index += length;
    if (index < 0) return 0;
    return index > length ? length : index;
}

// data[start:end] under the interpreter's slice rules; a None view stays None.
FloatVector clamped_segment(const FloatVector& data, Py_ssize_t start, Py_ssize_t end);

}  // namespace ombrix
