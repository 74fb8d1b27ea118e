// The random re-segmentation shared by the two permutation backgrounds: the
// generator's calls and the segments between cut positions.
#pragma once

#include "../module/typed_array.hpp"

namespace ombrix {

// data[start:end] under the interpreter's slice rules (negative bounds count
// from the end, both are clamped to the length); a None view stays None.
FloatVector clamped_segment(const FloatVector& data, Py_ssize_t start, Py_ssize_t end);

// np.random.<name>(*args), the trailing args being keyword values for
// `kwnames` when given.
Ref random_call(PyObject* name, std::initializer_list<PyObject*> args, PyObject* kwnames = nullptr);

// A cut position truncated toward zero into a signed 32-bit integer; false
// when it has no such value (NaN, infinite or out of range).
inline bool cut_to_int(double position, int& out) {
    if (!(position > -2147483649.0 && position < 2147483648.0)) return false;
    out = static_cast<int>(position);
    return true;
}

// Checks for a pending signal every 1024 segments, so that a call with a huge
// draw stops on Ctrl-C whatever its segments cost; true with the exception
// (KeyboardInterrupt) set when a handler raised.
inline bool interrupted_at_segment(int j) { return (j & 1023) == 1023 && PyErr_CheckSignals() < 0; }

}  // namespace ombrix
