#include "globals.hpp"

#include "process_state.hpp"
#include "python_code.hpp"

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

namespace {

// Entries of a plain module `np` found since Python code last may have run:
// until it runs, neither namespace changes, and each entry stays held by
// the module's dictionary. A loop of backgrounds asks for the same few.
struct FoundEntry {
    PyObject* name = nullptr;
    PyObject* value = nullptr;  // borrowed from the dictionary
    unsigned long long points = 0;
};

constexpr int kFoundEntries = 4;
FoundEntry found_entries[kFoundEntries];
int next_entry = 0;

}  // namespace

Ref np_attr(PyObject* name) {
    for (const FoundEntry& entry : found_entries) {
        if (entry.name == name && entry.points == python_code_points) return Ref::borrow(entry.value);
    }
    Ref np = lookup_global(names.np);
    if (!np) return {};
    if (Py_IS_TYPE(np.get(), &PyModule_Type)) {
        // The names asked for here (NumPy's functions and constants) are
        // none that the module type defines, so a plain module's attribute
        // is its dictionary's entry: the lookup without the generic
        // machinery (a missing one still goes to the module's __getattr__).
        PyObject* found = PyDict_GetItemWithError(PyModule_GetDict(np.get()), name);
        if (found) {
            found_entries[next_entry] = {name, found, python_code_points};
            next_entry = (next_entry + 1) % kFoundEntries;
            return Ref::borrow(found);
        }
        if (PyErr_Occurred()) return {};
    }
    return Ref::steal(PyObject_GetAttr(np.get(), name));
}

}  // namespace ombrix
