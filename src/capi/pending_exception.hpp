// Putting the pending exception aside and back as one exception object, on
// every supported interpreter (3.12 keeps it that way; 3.11 keeps a triple).
#pragma once

#include <Python.h>

#include "ref.hpp"

namespace ombrix {

// Takes the pending exception (an empty handle when none is set) and clears
// the indicator.
inline Ref take_pending_exception() {
#if PY_VERSION_HEX >= 0x030C0000
    return Ref::steal(PyErr_GetRaisedException());
#else
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    if (!type) return {};
    PyErr_NormalizeException(&type, &value, &traceback);
    if (traceback && value) PyException_SetTraceback(value, traceback);
    Py_XDECREF(type);
    Py_XDECREF(traceback);
    return Ref::steal(value);
#endif
}

// Makes `exception` (taken by take_pending_exception) pending again.
inline void restore_pending_exception(Ref exception) {
    if (!exception) return;
#if PY_VERSION_HEX >= 0x030C0000
    PyErr_SetRaisedException(exception.release());
#else
    PyObject* value = exception.release();
    PyErr_Restore(Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(value))), value,
                  PyException_GetTraceback(value));
#endif
}

}  // namespace ombrix
