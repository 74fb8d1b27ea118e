#include "typed_array.hpp"

#include "process_state.hpp"

namespace ombrix {

namespace {

bool is_ndarray_or_none(PyObject* value) {
    if (value == Py_None ||
        PyObject_TypeCheck(value, reinterpret_cast<PyTypeObject*>(state.ndarray_type))) {
        return true;
    }
    PyErr_Format(PyExc_TypeError, "Cannot convert %.200s to %.200s", Py_TYPE(value)->tp_name,
                 reinterpret_cast<PyTypeObject*>(state.ndarray_type)->tp_name);
    return false;
}

template <typename Array, typename Bind>
bool assign_checked(Array& target, Ref value, Bind bind) {
    if (!value || !is_ndarray_or_none(value.get())) return false;
    decltype(target.view) view;
    if (!bind(value.get(), view)) return false;
    target.view = std::move(view);
    target.object = std::move(value);
    return true;
}

}  // namespace

bool assign(TypedFloatArray& target, Ref value) {
    return assign_checked(target, std::move(value), [](PyObject* obj, FloatVector& view) {
        return bind_vector(obj, kDouble, false, view);
    });
}

bool assign(TypedInt64Array& target, Ref value) {
    return assign_checked(target, std::move(value), [](PyObject* obj, Int64Vector& view) {
        return bind_vector(obj, kInt64, false, view);
    });
}

bool assign(TypedFloatMatrix& target, Ref value) {
    return assign_checked(target, std::move(value), [](PyObject* obj, FloatMatrix& view) {
        return bind_matrix(obj, false, view);
    });
}

}  // namespace ombrix
