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

}  // namespace

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
    out.base = static_cast<const char*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(array.get())));
    out.length = count;
    out.stride = sizeof(double);
    out.owner = std::move(array);
    return true;
}

}  // namespace ombrix
