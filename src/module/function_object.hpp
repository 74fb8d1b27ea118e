// The module's own function type: vectorcall objects that carry a table row
// and behave like Python functions for inspect, help and pickle.
#pragma once

#include <Python.h>

#include "signature.hpp"

namespace ombrix {

bool ready_function_type();

// A new published function for one table row.
Ref new_function(const FunctionSpec& spec, PyObject* module_name);

}  // namespace ombrix
