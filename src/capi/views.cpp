#include "views.hpp"

#include <climits>

#include "numpy_api.hpp"
#include "static_type.hpp"

namespace ombrix {

namespace {

// Holds one buffer export for as long as any view or view object uses it.
struct BufferOwner {
    PyObject_HEAD
    Py_buffer buffer;
};

void buffer_owner_dealloc(PyObject* self) {
    PyBuffer_Release(&reinterpret_cast<BufferOwner*>(self)->buffer);
    Py_TYPE(self)->tp_free(self);
}

PyTypeObject BufferOwnerType = [] {
    PyTypeObject t = static_type("ombrix._BufferOwner", sizeof(BufferOwner));
    t.tp_dealloc = buffer_owner_dealloc;
    return t;
}();

// Acquires and validates a buffer; on success the returned owner holds it.
Ref acquire(PyObject* obj, const ElementType& type, int ndim, bool writable) {
    auto* owner = PyObject_New(BufferOwner, &BufferOwnerType);
    if (!owner) return {};
    Py_buffer& buf = owner->buffer;
    int flags = PyBUF_FORMAT | PyBUF_STRIDES | (writable ? PyBUF_WRITABLE : 0);
    if (PyObject_GetBuffer(obj, &buf, flags) < 0) {
        buf.obj = nullptr;  // nothing to release
        Py_DECREF(owner);
        return {};
    }
    Ref held = Ref::steal(reinterpret_cast<PyObject*>(owner));
    if (buf.ndim != ndim) {
        PyErr_Format(PyExc_ValueError, "Buffer has wrong number of dimensions (expected %d, got %d)",
                     ndim, buf.ndim);
        return {};
    }
    if (!check_buffer_format(buf.format, type)) return {};
    if (static_cast<std::size_t>(buf.itemsize) != type.size) {
        PyErr_Format(PyExc_ValueError,
                     "Item size of buffer (%zu byte%s) does not match size of '%s' (%zu byte%s)",
                     static_cast<std::size_t>(buf.itemsize), buf.itemsize > 1 ? "s" : "", type.name,
                     type.size, type.size > 1 ? "s" : "");
        return {};
    }
    if (buf.len > 0 && buf.suboffsets) {
        for (int dim = 0; dim < ndim; ++dim) {
            if (buf.suboffsets[dim] >= 0) {
                PyErr_Format(PyExc_ValueError,
                             "Buffer not compatible with direct access in dimension %d.", dim);
                return {};
            }
        }
    }
    return held;
}

template <typename T>
bool bind_vector_impl(PyObject* obj, const ElementType& type, bool writable, StridedVector<T>& out) {
    out = StridedVector<T>{};
    if (obj == Py_None) return true;
    Ref owner = acquire(obj, type, 1, writable);
    if (!owner) return false;
    const Py_buffer& buf = reinterpret_cast<BufferOwner*>(owner.get())->buffer;
    out.base = static_cast<const char*>(buf.buf);
    out.length = buf.shape ? buf.shape[0] : buf.len / buf.itemsize;
    out.stride = buf.strides ? buf.strides[0] : buf.itemsize;
    out.owner = std::move(owner);
    return true;
}

}  // namespace

bool bind_vector(PyObject* obj, const ElementType& type, bool writable, StridedVector<double>& out) {
    return bind_vector_impl(obj, type, writable, out);
}

bool bind_vector(PyObject* obj, const ElementType& type, bool writable, StridedVector<long long>& out) {
    return bind_vector_impl(obj, type, writable, out);
}

bool bind_matrix(PyObject* obj, bool writable, FloatMatrix& out) {
    out = FloatMatrix{};
    if (obj == Py_None) return true;
    Ref owner = acquire(obj, kDouble, 2, writable);
    if (!owner) return false;
    const Py_buffer& buf = reinterpret_cast<BufferOwner*>(owner.get())->buffer;
    out.base = static_cast<const char*>(buf.buf);
    for (int dim = 0; dim < 2; ++dim) {
        out.shape[dim] = buf.shape[dim];
        out.strides[dim] = buf.strides ? buf.strides[dim] : 0;
    }
    out.owner = std::move(owner);
    return true;
}

bool check_vector_length(Py_ssize_t length) {
    if (length > INT_MAX) {
        PyErr_Format(PyExc_ValueError,
                     "Buffer has %zd elements; vectors of 2**31 elements or more are not supported",
                     length);
        return false;
    }
    return true;
}

FloatVector subview(const FloatVector& v, Py_ssize_t start, Py_ssize_t end) {
    FloatVector part;
    part.base = v.base + start * v.stride;
    part.length = end - start;
    part.stride = v.stride;
    part.owner = v.owner;
    return part;
}

Ref make_view_object(const FloatVector& v) {
    if (v.is_none()) return Ref::borrow(Py_None);
    // A base-class ndarray over the same memory: no copy, none of the
    // caller's subclass or mask, and the buffer export as its base, so that
    // a receiver that keeps it never reads freed memory.
    npy_intp shape[1] = {v.length};
    npy_intp strides[1] = {v.stride};
    Ref array = Ref::steal(PyArray_NewFromDescr(
        &PyArray_Type, PyArray_DescrFromType(NPY_DOUBLE), 1, shape, strides,
        const_cast<char*>(v.base), NPY_ARRAY_WRITEABLE, nullptr));
    if (!array) return {};
    if (PyArray_SetBaseObject(reinterpret_cast<PyArrayObject*>(array.get()),
                              Py_NewRef(v.owner.get())) < 0) {
        return {};
    }
    return array;
}

bool ready_view_types() {
    return PyType_Ready(&BufferOwnerType) == 0;
}

}  // namespace ombrix
