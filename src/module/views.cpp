#include "views.hpp"

#include <climits>

#include "names.hpp"
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

// The buffer-exporting object that NumPy and Python code receive.
struct FloatView {
    PyObject_HEAD
    PyObject* owner;
    const char* base;
    Py_ssize_t shape[1];
    Py_ssize_t strides[1];
};

void float_view_dealloc(PyObject* self) {
    Py_XDECREF(reinterpret_cast<FloatView*>(self)->owner);
    Py_TYPE(self)->tp_free(self);
}

bool is_contiguous(const FloatView* v) {
    return v->shape[0] <= 1 || v->strides[0] == static_cast<Py_ssize_t>(sizeof(double));
}

int float_view_getbuffer(PyObject* self, Py_buffer* view, int flags) {
    auto* v = reinterpret_cast<FloatView*>(self);
    bool strided = (flags & PyBUF_STRIDES) == PyBUF_STRIDES;
    bool wants_contiguous = (flags & PyBUF_ANY_CONTIGUOUS) == PyBUF_ANY_CONTIGUOUS ||
                            (flags & PyBUF_C_CONTIGUOUS) == PyBUF_C_CONTIGUOUS ||
                            (flags & PyBUF_F_CONTIGUOUS) == PyBUF_F_CONTIGUOUS;
    if ((!strided || wants_contiguous) && !is_contiguous(v)) {
        PyErr_SetString(PyExc_BufferError, "ombrix view is not contiguous");
        view->obj = nullptr;
        return -1;
    }
    view->buf = const_cast<char*>(v->base);
    view->obj = Py_NewRef(self);
    view->len = v->shape[0] * static_cast<Py_ssize_t>(sizeof(double));
    view->readonly = 0;
    view->itemsize = sizeof(double);
    view->format = (flags & PyBUF_FORMAT) ? const_cast<char*>("d") : nullptr;
    view->ndim = 1;
    view->shape = (flags & PyBUF_ND) == PyBUF_ND ? v->shape : nullptr;
    view->strides = strided ? v->strides : nullptr;
    view->suboffsets = nullptr;
    view->internal = nullptr;
    return 0;
}

PyBufferProcs float_view_buffer = {float_view_getbuffer, nullptr};

Py_ssize_t float_view_length(PyObject* self) {
    return reinterpret_cast<FloatView*>(self)->shape[0];
}

PyObject* float_view_item(PyObject* self, Py_ssize_t i) {
    auto* v = reinterpret_cast<FloatView*>(self);
    if (i < 0 || i >= v->shape[0]) {
        PyErr_SetString(PyExc_IndexError, "view index out of range");
        return nullptr;
    }
    double value;
    std::memcpy(&value, v->base + i * v->strides[0], sizeof(double));
    return PyFloat_FromDouble(value);
}

PySequenceMethods float_view_sequence = [] {
    PySequenceMethods s{};
    s.sq_length = float_view_length;
    s.sq_item = float_view_item;
    return s;
}();

PyTypeObject FloatViewType = [] {
    PyTypeObject t = static_type("ombrix._FloatView", sizeof(FloatView));
    t.tp_dealloc = float_view_dealloc;
    t.tp_as_sequence = &float_view_sequence;
    t.tp_as_buffer = &float_view_buffer;
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
    auto* view = PyObject_New(FloatView, &FloatViewType);
    if (!view) return {};
    view->owner = Py_NewRef(v.owner.get());
    view->base = v.base;
    view->shape[0] = v.length;
    view->strides[0] = v.stride;
    return Ref::steal(reinterpret_cast<PyObject*>(view));
}

bool ready_view_types() {
    return PyType_Ready(&BufferOwnerType) == 0 && PyType_Ready(&FloatViewType) == 0;
}

}  // namespace ombrix
