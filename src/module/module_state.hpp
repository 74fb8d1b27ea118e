// Process-wide state of the module and the helpers that reach it: the module
// namespace, global-name lookup and the traceback entries of failures.
#pragma once

#include <Python.h>

#include "ref.hpp"

namespace ombrix {

struct ModuleState {
    PyObject* module = nullptr;    // owned once executed
    PyObject* globals = nullptr;   // borrowed from the module
    PyObject* builtins = nullptr;  // owned
    PyObject* ndarray_type = nullptr;  // owned, from the type-size checks
};

extern ModuleState state;

// The file name that every traceback entry of the module carries.
inline constexpr const char* kSourceFile = "ombrix.pyx";

// Adds one traceback entry (qualified function name, source line) to the
// pending exception.
void add_traceback(const char* qualname, int line);

// Looks a name up in the module namespace, then in builtins; NameError
// "name '...' is not defined" when neither has it.
Ref lookup_global(PyObject* name);

// The attribute `name` of the module global `np`, looked up afresh.
Ref np_attr(PyObject* name);

// Converts with the interpreter's float conversion; an exact float is read
// directly. Returns false with the exception pending.
bool to_double(PyObject* obj, double& out);

}  // namespace ombrix

namespace ombrix {

// Ends a guarded score computation that raised. Exceptions derived from
// Exception are discarded (the score becomes 0.0) and true is returned;
// MemoryError, a failure of the machine rather than of the score, and
// anything not derived from Exception (KeyboardInterrupt, SystemExit) stay
// pending, so that a user can always interrupt and never gets a score made
// of a failure.
bool discard_guarded_exception();

// The item `index` of a sequence result (a tuple from np.where, a pair of a
// dictionary's items).
Ref item_at(PyObject* obj, Py_ssize_t index);

}  // namespace ombrix
