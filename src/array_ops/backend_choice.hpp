// Picks the backend of the array operations for one unit of work: a call, a
// background or a permutation.
#pragma once

#include "../capi/python_code.hpp"
#include "native_backend.hpp"

namespace ombrix {

// `native_allowed` is false where the unit's input rules the kernels out
// (None, which only NumPy's own errors describe).
template <class Body>
auto with_array_ops(bool native_allowed, Body&& body) {
    NativeConditions conditions;
    if (native_allowed && native_conditions(conditions)) {
        NativeBackend ops(conditions);
        return body(static_cast<ArrayOps&>(ops));
    }
    before_python_code();  // every operation of the unit is a NumPy call
    NumpyCallBackend ops;
    return body(static_cast<ArrayOps&>(ops));
}

}  // namespace ombrix
