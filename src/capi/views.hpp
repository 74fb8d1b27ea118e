// Typed views over buffers that callers and NumPy export, and the view
// objects (base-class ndarrays) that hand such a view to NumPy or Python code.
#pragma once

#include <Python.h>

#include <cstring>

#include "buffer_format.hpp"
#include "ref.hpp"

namespace ombrix {

// A 1-D strided view of 8-byte elements. The owner holds the buffer export
// that keeps the memory valid; a view without an owner stands for None.
template <typename T>
struct StridedVector {
    const char* base = nullptr;
    Py_ssize_t length = 0;
    Py_ssize_t stride = 0;
    Ref owner;

    bool is_none() const { return !owner; }
    // Reads element i; callers keep 0 <= i < length. memcpy allows unaligned
    // exporters and compiles to a plain load.
    T operator[](Py_ssize_t i) const {
        T value;
        std::memcpy(&value, base + i * stride, sizeof(T));
        return value;
    }
};

using FloatVector = StridedVector<double>;
using Int64Vector = StridedVector<long long>;

// A 2-D view; bound and validated but never read by the module.
struct FloatMatrix {
    const char* base = nullptr;
    Py_ssize_t shape[2] = {0, 0};
    Py_ssize_t strides[2] = {0, 0};
    Ref owner;
};

// Acquires a buffer of `obj` and checks dimensions, format, item size and
// direct access; None binds as an empty view. `writable` asks the exporter
// for write access (arguments); typed local arrays accept read-only memory.
bool bind_vector(PyObject* obj, const ElementType& type, bool writable, StridedVector<double>& out);
bool bind_vector(PyObject* obj, const ElementType& type, bool writable, StridedVector<long long>& out);
bool bind_matrix(PyObject* obj, bool writable, FloatMatrix& out);

// Refuses vectors whose length does not fit the module's 32-bit counts.
bool check_vector_length(Py_ssize_t length);

// A sub-range [start, end) of a view, sharing its owner; the bounds must be
// in range already.
FloatVector subview(const FloatVector& v, Py_ssize_t start, Py_ssize_t end);

// A new buffer-exporting object over the view's memory (format "d", the
// view's length and stride, writable), or None for a None view.
Ref make_view_object(const FloatVector& v);

// Readies the internal types; called once from the module's exec step.
bool ready_view_types();

}  // namespace ombrix
