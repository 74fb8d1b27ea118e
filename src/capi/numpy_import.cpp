// The one translation unit of a compiled module that defines and fills
// NumPy's API tables.
#define OMBRIX_DEFINES_NUMPY_API
#include "numpy_api.hpp"

#include <cstdio>
#include <string_view>

#include "numpy_import.hpp"
#include "numpy_runtime.hpp"
#include "pending_exception.hpp"
#include "process_state.hpp"

namespace ombrix {

bool import_numpy_interface() {
    if (detect_numpy_major() && _import_array() == 0 && _import_umath() == 0) return true;
    // The cause stays visible as the context of the ImportError.
    Ref cause = take_pending_exception();
    PyErr_SetString(PyExc_ImportError, numpy_import_failure_message());
    if (cause) {
        Ref failure = take_pending_exception();
        if (failure) PyException_SetContext(failure.get(), cause.release());  // steals the cause
        restore_pending_exception(std::move(failure));
    }
    return false;
}

namespace {

enum class SizeCheck { Ignore, Warn };

struct ExpectedType {
    const char* name;
    std::size_t size;
    std::size_t alignment;
    SizeCheck check;
};

// NumPy 2 changed the layout of dtype; the other types kept theirs.
#define OMBRIX_EXPECTED(name, type, check) {name, sizeof(type), alignof(type), SizeCheck::check}
const ExpectedType expected_dtype_numpy1 = OMBRIX_EXPECTED("dtype", PyArray_DescrProto, Ignore);
const ExpectedType expected_dtype_numpy2 = OMBRIX_EXPECTED("dtype", _PyArray_DescrNumPy2, Ignore);
const ExpectedType expected_numpy_types[] = {
    OMBRIX_EXPECTED("flatiter", PyArrayIterObject, Ignore),
    OMBRIX_EXPECTED("broadcast", PyArrayMultiIterObject, Ignore),
    OMBRIX_EXPECTED("ndarray", PyArrayObject, Ignore),
    OMBRIX_EXPECTED("generic", PyObject, Warn),
    OMBRIX_EXPECTED("number", PyObject, Warn),
    OMBRIX_EXPECTED("integer", PyObject, Warn),
    OMBRIX_EXPECTED("signedinteger", PyObject, Warn),
    OMBRIX_EXPECTED("unsignedinteger", PyObject, Warn),
    OMBRIX_EXPECTED("inexact", PyObject, Warn),
    OMBRIX_EXPECTED("floating", PyObject, Warn),
    OMBRIX_EXPECTED("complexfloating", PyObject, Warn),
    OMBRIX_EXPECTED("flexible", PyObject, Warn),
    OMBRIX_EXPECTED("character", PyObject, Warn),
    OMBRIX_EXPECTED("ufunc", PyUFuncObject, Ignore),
};
#undef OMBRIX_EXPECTED

// Refuses NumPy types smaller than the layout this module was built for.
Ref import_checked_type(PyObject* numpy, const ExpectedType& expected) {
    Ref found = Ref::steal(PyObject_GetAttrString(numpy, expected.name));
    if (!found) return {};
    if (!PyType_Check(found.get())) {
        PyErr_Format(PyExc_TypeError, "%.200s.%.200s is not a type object", "numpy", expected.name);
        return {};
    }
    auto* type = reinterpret_cast<PyTypeObject*>(found.get());
    Py_ssize_t basicsize = type->tp_basicsize;
    Py_ssize_t itemsize = type->tp_itemsize;
    std::size_t alignment = expected.alignment;
    if (itemsize) {
        if (expected.size % alignment) alignment = expected.size % alignment;
        if (itemsize < static_cast<Py_ssize_t>(alignment)) itemsize = static_cast<Py_ssize_t>(alignment);
    }
    if (static_cast<std::size_t>(basicsize + itemsize) < expected.size) {
        PyErr_Format(PyExc_ValueError,
                     "%.200s.%.200s size changed, may indicate binary incompatibility. Expected %zd "
                     "from C header, got %zd from PyObject",
                     "numpy", expected.name, static_cast<Py_ssize_t>(expected.size),
                     basicsize + itemsize);
        return {};
    }
    if (expected.check == SizeCheck::Warn && static_cast<std::size_t>(basicsize) > expected.size) {
        char warning[200];
        std::snprintf(warning, sizeof warning,
                      "%s.%s size changed, may indicate binary incompatibility. Expected %zd from C "
                      "header, got %zd from PyObject",
                      "numpy", expected.name, static_cast<Py_ssize_t>(expected.size), basicsize);
        if (PyErr_WarnEx(nullptr, warning, 0) < 0) return {};
    }
    return found;
}

}  // namespace

bool import_numpy_types() {
    Ref numpy = Ref::steal(PyImport_ImportModule("numpy"));
    if (!numpy) return false;
    const ExpectedType& dtype = numpy_major() >= 2 ? expected_dtype_numpy2 : expected_dtype_numpy1;
    if (!import_checked_type(numpy.get(), dtype)) return false;
    for (const ExpectedType& expected : expected_numpy_types) {
        Ref type = import_checked_type(numpy.get(), expected);
        if (!type) return false;
        if (std::string_view(expected.name) == "ndarray" && !state.ndarray_type) {
            state.ndarray_type = type.release();
        }
    }
    return true;
}

}  // namespace ombrix
