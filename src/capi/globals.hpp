// Names looked up as the module's own code looks them up: in the module
// namespace, then in builtins, at every use.
#pragma once

#include "ref.hpp"

namespace ombrix {

// NameError "name '...' is not defined" when neither has the name.
Ref lookup_global(PyObject* name);

// The attribute `name` of the module global `np`: a NumPy function or
// constant, none of the names that the module type itself defines.
Ref np_attr(PyObject* name);

}  // namespace ombrix
