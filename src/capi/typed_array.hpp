// Typed local arrays: NumPy arrays that a routine keeps together with a
// checked typed view of their memory. Every assignment checks the value.
#pragma once

#include "views.hpp"

namespace ombrix {

template <typename View>
struct TypedArray {
    Ref object;  // the array itself (or None), handed on to NumPy as it is
    View view;
};

using TypedFloatArray = TypedArray<FloatVector>;
using TypedInt64Array = TypedArray<Int64Vector>;
using TypedFloatMatrix = TypedArray<FloatMatrix>;

// Assigns `value` (a new reference; nullptr means the call producing it
// failed) after checking that it is a NumPy array, or None, whose buffer
// holds one element type in the expected number of dimensions. Returns
// false with the exception pending; the target then keeps its old value.
bool assign(TypedFloatArray& target, Ref value);
bool assign(TypedInt64Array& target, Ref value);
bool assign(TypedFloatMatrix& target, Ref value);

}  // namespace ombrix
