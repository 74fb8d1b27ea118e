#include "scratch_arrays.hpp"

#include "../capi/numpy_api.hpp"

namespace ombrix {

namespace {

struct ScratchArrays {
    PyObject* spare[static_cast<int>(Scratch::count)] = {};
};

ScratchArrays scratch_arrays;

// Larger arrays are not kept: the process would hold them for good.
constexpr Py_ssize_t kLargestKept = Py_ssize_t{1} << 20;

// Arrays of exact lengths are kept up to this length, one a length.
constexpr Py_ssize_t kLongestExact = 128;
PyObject* exact_arrays[kLongestExact + 1] = {};

// Nothing else holds the array, and whatever held it left it as it was made.
bool reusable_exactly(PyObject* array, Py_ssize_t count) {
    if (!array || Py_REFCNT(array) != 1) return false;
    auto* a = reinterpret_cast<PyArrayObject*>(array);
    return PyArray_NDIM(a) == 1 && PyArray_DIM(a, 0) == count && PyArray_TYPE(a) == NPY_DOUBLE &&
           PyArray_ISNOTSWAPPED(a) && PyArray_ISCARRAY(a) && PyArray_BASE(a) == nullptr;
}

void bind(Ref array, Py_ssize_t count, FloatVector& out) {
    out.base = static_cast<const char*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(array.get())));
    out.length = count;
    out.stride = sizeof(double);
    out.owner = std::move(array);
}

}  // namespace

bool scratch_array(Py_ssize_t count, TypedFloatArray& out) {
    PyObject** kept = count >= 0 && count <= kLongestExact ? &exact_arrays[count] : nullptr;
    Ref array;
    if (kept && reusable_exactly(*kept, count)) {
        array = Ref::borrow(*kept);
    } else {
        npy_intp size = count;
        array = Ref::steal(PyArray_SimpleNew(1, &size, NPY_DOUBLE));
        if (!array) return false;
        if (kept) Py_XSETREF(*kept, Py_NewRef(array.get()));
    }
    out.object = array;
    bind(std::move(array), count, out.view);
    return true;
}

bool scratch_vector(Scratch slot, Py_ssize_t count, FloatVector& out) {
    PyObject*& spare = scratch_arrays.spare[static_cast<int>(slot)];
    bool reusable = spare && Py_REFCNT(spare) == 1 &&
                    PyArray_DIM(reinterpret_cast<PyArrayObject*>(spare), 0) >= count;
    Ref array = Ref::borrow(spare);
    if (!reusable) {
        npy_intp size = count;
        array = Ref::steal(PyArray_SimpleNew(1, &size, NPY_DOUBLE));
        if (!array) return false;
        // a unit still using the old one keeps it alive
        if (count <= kLargestKept) Py_XSETREF(spare, Py_NewRef(array.get()));
    }
    bind(std::move(array), count, out);
    return true;
}

}  // namespace ombrix
