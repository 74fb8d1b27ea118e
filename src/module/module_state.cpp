#include "module_state.hpp"

#include <frameobject.h>

#include "names.hpp"
#include "pending_exception.hpp"

namespace ombrix {

ModuleState state;

void add_traceback(const char* qualname, int line) {
    // Creating the code and frame objects must not run with the exception
    // pending, so it is put aside and restored around them.
    Ref pending = take_pending_exception();
    PyCodeObject* code = PyCode_NewEmpty(kSourceFile, qualname, line);
    PyFrameObject* frame = nullptr;
    if (code) {
        Ref empty_globals;
        PyObject* globals = state.globals;
        if (!globals) {
            empty_globals = Ref::steal(PyDict_New());
            globals = empty_globals.get();
        }
        if (globals) frame = PyFrame_New(PyThreadState_Get(), code, globals, nullptr);
    }
    Py_XDECREF(code);
    if (!frame) {
        // Losing the entry is better than losing the exception that it reports.
        PyErr_Clear();
        restore_pending_exception(std::move(pending));
        return;
    }
    restore_pending_exception(std::move(pending));
    PyTraceBack_Here(frame);
    Py_DECREF(frame);
}

Ref lookup_global(PyObject* name) {
    PyObject* found = PyDict_GetItemWithError(state.globals, name);
    if (found) return Ref::borrow(found);
    if (PyErr_Occurred()) return {};
    Ref builtin = Ref::steal(PyObject_GetAttr(state.builtins, name));
    if (!builtin && PyErr_ExceptionMatches(PyExc_AttributeError)) {
        PyErr_Clear();
        PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    }
    return builtin;
}

Ref np_attr(PyObject* name) {
    Ref np = lookup_global(names.np);
    if (!np) return {};
    return Ref::steal(PyObject_GetAttr(np.get(), name));
}

bool to_double(PyObject* obj, double& out) {
    if (PyFloat_CheckExact(obj)) {
        out = PyFloat_AS_DOUBLE(obj);
        return true;
    }
    out = PyFloat_AsDouble(obj);
    return !(out == -1.0 && PyErr_Occurred());
}

}  // namespace ombrix

namespace ombrix {

bool discard_guarded_exception() {
    if (!PyErr_ExceptionMatches(PyExc_Exception) || PyErr_ExceptionMatches(PyExc_MemoryError)) {
        return false;
    }
    PyErr_Clear();
    return true;
}

Ref item_at(PyObject* obj, Py_ssize_t index) {
    if (PyTuple_CheckExact(obj) && index < PyTuple_GET_SIZE(obj)) {
        return Ref::borrow(PyTuple_GET_ITEM(obj, index));
    }
    if (PyList_CheckExact(obj) && index < PyList_GET_SIZE(obj)) {
        return Ref::borrow(PyList_GET_ITEM(obj, index));
    }
    Ref key = Ref::steal(PyLong_FromSsize_t(index));
    if (!key) return {};
    return Ref::steal(PyObject_GetItem(obj, key.get()));
}

}  // namespace ombrix
