// Picks the implementation of the array operations for one unit of work: a
// call, a background or a permutation.
#pragma once

#include "native_ops.hpp"

namespace ombrix {

// Units taken by each path, for the test suite's checks that its native
// cases do take the native path.
struct PathCounts {
    long long native = 0;
    long long numpy = 0;
};
extern PathCounts path_counts;

// `native_allowed` is false where the unit's input rules the kernels out
// (None, which only NumPy's own errors describe).
template <class Body>
auto with_array_ops(bool native_allowed, Body&& body) {
    NativeConditions conditions;
    if (native_allowed && native_conditions(conditions)) {
        ++path_counts.native;
        NativeOps ops(conditions);
        return body(static_cast<ArrayOps&>(ops));
    }
    ++path_counts.numpy;
    NumpyOps ops;
    return body(static_cast<ArrayOps&>(ops));
}

}  // namespace ombrix
