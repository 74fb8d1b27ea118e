// The mean of an empty float64 segment without NumPy's call. np.mean of an
// empty array only warns (the slice is empty; its 0/0 raises the invalid
// flag) and returns NaN. The module makes that call once at start-up and
// records what it issued; later the same warnings go through the same
// machinery (filters, registries, display), attributed to NumPy's own files
// and lines, wherever that is exact. Everywhere else NumPy's call is made.
#pragma once

#include <Python.h>

#include "../python/process_state.hpp"

namespace ombrix {

// Calls np.mean of an empty array with the invalid flag warned and with it
// ignored, and records what it issued, leaving the warnings filters, display
// and NumPy's warning registries as they were. Nothing recorded, nothing
// replayed: false only for an exception that must not be swallowed (an
// interrupt, a lack of memory), pending.
bool record_empty_mean(PyObject* numpy);

// What the mean of an empty segment issues and returns now, if the native
// path can issue it exactly as NumPy's call would: the warnings machinery
// is the one seen at start-up, no filter turns one of the warnings into an
// error, and the caller's error state warns or ignores the invalid flag.
// Null otherwise; never leaves an exception set.
const EmptyMean* replayable_empty_mean();

// The same, when issuing them now would do nothing at all (each ignored by
// a filter found without Python code, or already in its registry): after
// one issue, further ones may be skipped until Python code runs.
const EmptyMean* silent_empty_mean();

// Issues those warnings in order; false with the exception pending when
// showing one failed.
bool issue_empty_mean_warnings(const EmptyMean& mean);

}  // namespace ombrix
