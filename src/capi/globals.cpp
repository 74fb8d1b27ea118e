#include "globals.hpp"

#include "process_state.hpp"

namespace ombrix {

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
    if (Py_IS_TYPE(np.get(), &PyModule_Type)) {
        // The names asked for here (NumPy's functions and constants) are
        // none that the module type defines, so a plain module's attribute
        // is its dictionary's entry: the lookup without the generic
        // machinery (a missing one still goes to the module's __getattr__).
        PyObject* found = PyDict_GetItemWithError(PyModule_GetDict(np.get()), name);
        if (found) return Ref::borrow(found);
        if (PyErr_Occurred()) return {};
    }
    return Ref::steal(PyObject_GetAttr(np.get(), name));
}

}  // namespace ombrix
