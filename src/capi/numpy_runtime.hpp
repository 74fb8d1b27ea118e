// The NumPy the module runs with: its major version, and the caller's ufunc
// error state and buffer size, which NumPy 1 keeps in the thread state (read
// through its ufunc table) and NumPy 2 in a context variable.
#pragma once

#include <Python.h>

namespace ombrix {

// The NumPy the module runs with, and how the caller's ufunc error state and
// buffer size are read: through NumPy 1's ufunc table, or NumPy 2's context
// variable.
struct RunningNumpy {
    int major = 0;  // 0 while unknown
    int minor = 0;
    enum class StateReader { None, Numpy1Table, Numpy2ContextVar } reader = StateReader::None;
    int (*numpy1_get_py_values)(char*, int*, int*, PyObject**) = nullptr;
    PyObject* numpy2_extobj_var = nullptr;
};

extern RunningNumpy running_numpy;

// Imports numpy and records the major version of numpy.__version__.
// Returns false with the exception pending.
bool detect_numpy_major();

// The recorded major version; 0 while unknown.
int numpy_major();

// The message of a failed import of NumPy's native interface, in the words
// of the running NumPy's own headers.
const char* numpy_import_failure_message();

// Prepares the error-state reader once the native interface is imported.
// The native path stays closed for a NumPy whose arithmetic the kernels
// have not been verified against, or whose state cannot be read here.
// Never leaves an exception set.
void prepare_ufunc_state_reader();

// NumPy's encoding of the error state: three bits per condition.
namespace errmask {
inline constexpr int kDivideShift = 0;
inline constexpr int kOverflowShift = 3;
inline constexpr int kUnderflowShift = 6;
inline constexpr int kInvalidShift = 9;
inline constexpr int kModeBits = 7;
inline constexpr int kIgnore = 0;
inline constexpr int kWarn = 1;
}  // namespace errmask

struct UfuncState {
    Py_ssize_t bufsize = 0;
    int errmask = 0;
};

// How many elements NumPy's 1-D float64 add.reduce sums pairwise before it
// starts a new chunk: up to NumPy 2.2 the ufunc buffer size, from 2.3 on the
// whole array.
Py_ssize_t reduction_chunk(Py_ssize_t bufsize);

// The caller's current state; false (and no exception set) when the native
// path must not be taken.
bool read_ufunc_state(UfuncState& out);

}  // namespace ombrix
