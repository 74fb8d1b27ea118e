// Float64 arrays that the native path reuses from one unit of work to the
// next (a thousand backgrounds make a thousand smoothed profiles). An array
// is handed out again only when nothing else holds it: not a unit still at
// work, nor a view object that NumPy or a warning kept.
#pragma once

#include "../capi/typed_array.hpp"
#include "../capi/views.hpp"

namespace ombrix {

// What each scratch array holds.
enum class Scratch { smoothed, gaps, run_lengths, count };

// A view of `count` doubles over a scratch array (contents undefined), or
// false with MemoryError pending.
bool scratch_vector(Scratch slot, Py_ssize_t count, FloatVector& out);

// A float64 array of exactly `count` elements (contents undefined) and its
// view, for a unit that may hand the array itself to NumPy: one of an
// earlier unit where nothing else holds it and it is still a plain writable
// one-dimensional float64 array of that length, else a new one; false with
// MemoryError pending.
bool scratch_array(Py_ssize_t count, TypedFloatArray& out);

}  // namespace ombrix
