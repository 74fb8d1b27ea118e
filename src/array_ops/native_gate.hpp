// When the native kernels may stand in for NumPy's calls: the module global
// `np` is still the NumPy imported at start-up, with its own functions, and
// the caller's ufunc state is read so that the kernels chunk their sums as
// NumPy does and hand over an operation whenever NumPy would warn or raise.
#pragma once

#include <Python.h>

namespace ombrix {

struct NativeConditions {
    // the elements NumPy sums pairwise before it starts a new chunk
    Py_ssize_t reduction_chunk = 8192;
    // kernels::FpFlag bits that NumPy would not ignore, and kHandOver
    unsigned reported_flags = 0;
};

// Called once by the module body with the NumPy module it imported.
bool remember_startup_numpy(PyObject* numpy);

// True when one unit of work (a call, a background, a permutation) may take
// the native path; never leaves an exception set.
bool native_conditions(NativeConditions& out);

}  // namespace ombrix
