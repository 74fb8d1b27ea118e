// NumPy's native array interface, shared by every translation unit; only the
// module entry defines and fills the API table.
#pragma once

#include <Python.h>

#define NPY_NO_DEPRECATED_API NPY_1_7_API_VERSION
// Built with NumPy 2's headers for every NumPy from the oldest supported on.
#define NPY_TARGET_VERSION NPY_1_23_API_VERSION
#define PY_ARRAY_UNIQUE_SYMBOL ombrix_ARRAY_API
#ifndef OMBRIX_DEFINES_NUMPY_API
#define NO_IMPORT_ARRAY
#endif
#include <numpy/arrayobject.h>

// The ufunc interface: the buffer size and error state of the caller.
#define PY_UFUNC_UNIQUE_SYMBOL ombrix_UFUNC_API
#ifndef OMBRIX_DEFINES_NUMPY_API
#define NO_IMPORT_UFUNC
#endif
#include <numpy/ufuncobject.h>
