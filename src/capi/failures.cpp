#include "python_code.hpp"
#include "failures.hpp"

#include <frameobject.h>

#include "pending_exception.hpp"
#include "process_state.hpp"

namespace ombrix {

void add_traceback(const char* qualname, int line) {
    before_python_code();  // the objects made here are the collector's, which may run finalizers
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

bool discard_guarded_exception() {
    if (!PyErr_ExceptionMatches(PyExc_Exception) || PyErr_ExceptionMatches(PyExc_MemoryError)) {
        return false;
    }
    PyErr_Clear();
    return true;
}

}  // namespace ombrix
