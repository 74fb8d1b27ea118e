// Notes added to binding failures (shown under the traceback, the message
// itself unchanged): which parameter, what it takes, and the usual fix.
#pragma once

#include "signature.hpp"

namespace ombrix {

// After a count or keyword failure: the signature, the parameters still
// missing, and for an unknown keyword the parameter it most resembles.
void note_call_shape_failure(const FunctionSpec& spec, Py_ssize_t nargs, PyObject* kwnames);

// After `value` failed to convert for `param`.
void note_conversion_failure(const FunctionSpec& spec, const ParamSpec& param, PyObject* value);

}  // namespace ombrix
