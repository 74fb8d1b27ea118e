// Calls into Python objects (NumPy's functions and methods) with borrowed
// arguments, returning owned results (empty with the exception pending).
#pragma once

#include <Python.h>

#include <initializer_list>

#include "python_code.hpp"
#include "ref.hpp"

namespace ombrix {

// fn(*args)
inline Ref call(const Ref& fn, std::initializer_list<PyObject*> args) {
    before_python_code();
    return Ref::steal(PyObject_Vectorcall(fn.get(), args.begin(), args.size(), nullptr));
}

// fn(*positional, **dict(zip(kwnames, trailing args))): the last
// len(kwnames) items of `args` are the keyword values.
inline Ref call_kw(const Ref& fn, std::initializer_list<PyObject*> args, PyObject* kwnames) {
    std::size_t positional = args.size() - static_cast<std::size_t>(PyTuple_GET_SIZE(kwnames));
    before_python_code();
    return Ref::steal(PyObject_Vectorcall(fn.get(), args.begin(), positional, kwnames));
}

// [item]: a new one-element list.
inline Ref one_item_list(PyObject* item) {
    Ref list = Ref::steal(PyList_New(1));
    if (list) PyList_SET_ITEM(list.get(), 0, Py_NewRef(item));
    return list;
}

// obj.name(*args)
inline Ref call_method(PyObject* obj, PyObject* name, std::initializer_list<PyObject*> args) {
    before_python_code();
    Ref method = Ref::steal(PyObject_GetAttr(obj, name));
    if (!method) return {};
    return call(method, args);
}

// dict[key] of an exact dict (borrowed); KeyError where it is missing.
inline PyObject* dict_item(PyObject* dict, PyObject* key) {
    PyObject* value = PyDict_GetItemWithError(dict, key);
    if (!value && !PyErr_Occurred()) PyErr_SetObject(PyExc_KeyError, key);
    return value;
}

// The item `index` of a sequence result (a tuple from np.where, a pair of a
// dictionary's items).
inline Ref item_at(PyObject* obj, Py_ssize_t index) {
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
