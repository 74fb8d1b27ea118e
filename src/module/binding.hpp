// Binding of a published function's arguments to typed values.
#pragma once

#include "signature.hpp"

namespace ombrix {

// Fills `out` from a vectorcall's arguments. On failure the exception carries
// one traceback entry with the function's qualified name and the line of the
// stage that failed; views bound so far are released with `out`.
// `param_names` are the interned parameter names, `defaults` the tuple of
// default values for the last parameters.
bool bind_arguments(const FunctionSpec& spec, PyObject* const* param_names, PyObject* defaults,
                    PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, BoundArgs& out);

}  // namespace ombrix
