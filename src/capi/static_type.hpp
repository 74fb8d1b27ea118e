// A zeroed static type object with its name, size and the one reference
// that a statically allocated object starts with.
#pragma once

#include <Python.h>

namespace ombrix {

inline PyTypeObject static_type(const char* name, Py_ssize_t basicsize) {
    PyTypeObject type{};
    Py_SET_REFCNT(reinterpret_cast<PyObject*>(&type), 1);
    type.tp_name = name;
    type.tp_basicsize = basicsize;
    type.tp_flags = Py_TPFLAGS_DEFAULT;
    return type;
}

}  // namespace ombrix
