#include "scalars.hpp"

#include <climits>

#include "python_code.hpp"
#include "ref.hpp"

namespace ombrix {

namespace {

bool int_from_long(PyObject* obj, int& out) {
    int overflow = 0;
    long value = PyLong_AsLongAndOverflow(obj, &overflow);
    if (value == -1 && PyErr_Occurred()) return false;
    if (overflow != 0 || value < INT_MIN || value > INT_MAX) {
        PyErr_SetString(PyExc_OverflowError, "value too large to convert to int");
        return false;
    }
    out = static_cast<int>(value);
    return true;
}

// A type made by a class statement, whose conversions may be Python code
// (NumPy's scalar types and the builtins are static types).
bool defined_in_python(PyObject* obj) { return (Py_TYPE(obj)->tp_flags & Py_TPFLAGS_HEAPTYPE) != 0; }

}  // namespace

bool to_int32(PyObject* obj, int& out) {
    if (PyLong_Check(obj)) return int_from_long(obj, out);
    if (defined_in_python(obj)) before_python_code();
    PyNumberMethods* number = Py_TYPE(obj)->tp_as_number;
    if (!number || !number->nb_int) {
        PyErr_SetString(PyExc_TypeError, "an integer is required");
        return false;
    }
    Ref converted = Ref::steal(number->nb_int(obj));
    if (!converted) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, "an integer is required");
        return false;
    }
    if (!PyLong_CheckExact(converted.get())) {
        if (!PyLong_Check(converted.get())) {
            PyErr_Format(PyExc_TypeError, "__%.4s__ returned non-%.4s (type %.200s)", "int", "int",
                         Py_TYPE(converted.get())->tp_name);
            return false;
        }
        if (PyErr_WarnFormat(PyExc_DeprecationWarning, 1,
                             "__int__ returned non-int (type %.200s).  The ability to return an "
                             "instance of a strict subclass of int is deprecated, and may be "
                             "removed in a future version of Python.",
                             Py_TYPE(converted.get())->tp_name) < 0) {
            return false;
        }
    }
    return int_from_long(converted.get(), out);
}

bool to_truth(PyObject* obj, bool& out) {
    if (obj == Py_True || obj == Py_False || obj == Py_None) {
        out = obj == Py_True;
        return true;
    }
    if (defined_in_python(obj)) before_python_code();
    int truth = PyObject_IsTrue(obj);
    if (truth < 0) return false;
    out = truth != 0;
    return true;
}

bool to_double(PyObject* obj, double& out) {
    if (PyFloat_CheckExact(obj)) {
        out = PyFloat_AS_DOUBLE(obj);
        return true;
    }
    // a float subclass is read as it is; another type's conversion may be Python code
    if (!PyFloat_Check(obj) && defined_in_python(obj)) before_python_code();
    out = PyFloat_AsDouble(obj);
    return !(out == -1.0 && PyErr_Occurred());
}

}  // namespace ombrix
