// When the native kernels may stand in for NumPy's calls: the module global
// `np` is still the NumPy imported at start-up, with its own functions, and
// the caller's ufunc state is read so that the kernels chunk their sums as
// NumPy does and hand over an operation whenever NumPy would warn or raise.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>

namespace ombrix {

inline constexpr std::size_t kReplacedFunctionCount = 12;
// The NumPy module that the module body imported, and the functions of it
// whose work the native kernels reproduce, as they were at start-up.
struct StartupNumpy {
    PyTypeObject* type = nullptr;  // of the module, state.numpy
    PyObject* functions[kReplacedFunctionCount] = {};
    // np.exp, and its float64 inner loop (with the loop's data), which the
    // native path calls as the ufunc does, once the loop has given NumPy's
    // own results (0 until checked, 1 verified, -1 not to be used).
    PyObject* exp = nullptr;
    void* exp_loop = nullptr;
    void* exp_loop_data = nullptr;
    int exp_loop_state = 0;
    // Whether the module namespace or NumPy's may have changed since the gate
    // last found everything in place: dictionary watchers from Python 3.12 on,
    // the dictionaries' version tags before.
    bool dicts_changed = true;
    int dict_watcher = -1;
    uint64_t checked_globals_version = 0;
    uint64_t checked_numpy_version = 0;
};

extern StartupNumpy startup_numpy;

struct NativeConditions {
    // the elements NumPy sums pairwise before it starts a new chunk
    Py_ssize_t reduction_chunk = 8192;
    // kernels::FpFlag bits that NumPy would not ignore, and kHandOver
    unsigned reported_flags = 0;
};

// Called once by the module body, once it has imported NumPy (state.numpy).
bool remember_startup_numpy();

// True when one unit of work (a call, a background, a permutation) may take
// the native path; never leaves an exception set.
bool native_conditions(NativeConditions& out);

}  // namespace ombrix
