// Conversions of Python scalars to the module's C types; each returns false
// with the exception pending.
#pragma once

#include <Python.h>

namespace ombrix {

// Signed 32-bit integer: exact ints directly, anything else through its
// __int__ (so floats truncate toward zero). False with the exception set.
bool to_int32(PyObject* obj, int& out);

// Truth value: True, False and None read directly, anything else through
// the interpreter's truth test. False with the exception set.
bool to_truth(PyObject* obj, bool& out);

// The interpreter's float conversion; an exact float is read directly.
bool to_double(PyObject* obj, double& out);

}  // namespace ombrix
