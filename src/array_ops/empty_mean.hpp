// The mean of an empty float64 segment without NumPy's call. np.mean of an
// empty array only warns (the slice is empty; its 0/0 raises the invalid
// flag) and returns NaN. The module makes that call once at start-up and
// records what it issued; later the same warnings go through the same
// machinery (filters, registries, display), attributed to NumPy's own files
// and lines, wherever that is exact. Everywhere else NumPy's call is made.
#pragma once

#include <Python.h>

#include <vector>


namespace ombrix {

// What np.mean of an empty float64 array does, found at start-up by calling
// it: the warnings it issues, in order (category, text, and the file, line
// and module namespace they are attributed to), and the value it returns,
// with the invalid flag warned and with it ignored; and the warnings
// machinery it went through then. While that machinery is still in place,
// the native path issues the same warnings itself.
struct RecordedWarning {
    PyObject* category = nullptr;
    PyObject* text = nullptr;
    PyObject* filename = nullptr;
    int lineno = 0;
    PyObject* globals = nullptr;
};
struct EmptyMean {
    std::vector<RecordedWarning> warnings;
    PyObject* value = nullptr;  // np.float64, as NumPy returned it
};
struct EmptyMeanWarnings {
    bool usable = false;
    EmptyMean when_warned;
    EmptyMean when_ignored;
    PyObject* warnings_module = nullptr;
    PyObject* warn = nullptr;  // warnings.warn, which NumPy's Python code calls
    PyObject* show_message = nullptr;  // warnings._showwarnmsg
    PyTypeObject* pattern_type = nullptr;  // re.Pattern, whose match() is native
};

extern EmptyMeanWarnings empty_mean_warnings;

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
