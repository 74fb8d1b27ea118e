#include "block_scan.hpp"

#include <algorithm>
#include <cstdint>
#include <initializer_list>
#include <type_traits>

#include "../capi/numpy_api.hpp"
#include "../capi/ref.hpp"

namespace ombrix {

namespace {

// An argument that must be an aligned C-contiguous ndarray of `ndim`
// dimensions and one of the listed element types (the driver hands over
// exactly these); TypeError naming the function and argument otherwise.
PyArrayObject* array_argument(PyObject* given, const char* function, const char* name, int ndim,
                              std::initializer_list<int> types) {
    auto* array = PyArray_Check(given) ? reinterpret_cast<PyArrayObject*>(given) : nullptr;
    bool typed = array && std::find(types.begin(), types.end(), PyArray_TYPE(array)) != types.end() &&
                 PyArray_ISNOTSWAPPED(array);
    if (!typed || PyArray_NDIM(array) != ndim || !PyArray_IS_C_CONTIGUOUS(array) || !PyArray_ISALIGNED(array)) {
        PyErr_Format(PyExc_TypeError, "%s(): %s must be an aligned C-contiguous %d-D array of its listed types",
                     function, name, ndim);
        return nullptr;
    }
    return array;
}

template <typename T>
const T* data_of(PyArrayObject* array) {
    return static_cast<const T*>(PyArray_DATA(array));
}

// Whether any of v[1..n) differs from v[0]: for == (NaN aside, and NaN
// differs from all) that is any neighbour differing. Blocks without a
// branch inside, whose flags are OR-ed in an integer of the element's width
// so that the comparisons run on vector registers; the first block with a
// difference ends the row.
template <typename T>
bool differs_from_first(const T* v, Py_ssize_t n) {
    using Flag = std::conditional_t<sizeof(T) == 1, std::uint8_t, std::uint64_t>;
    constexpr Py_ssize_t kBlock = 64;
    if (n < 2) return false;
    const T first = v[0];
    Py_ssize_t i = 1;
    for (; i + kBlock <= n; i += kBlock) {
        Flag differs = 0;
        for (Py_ssize_t j = 0; j < kBlock; ++j) differs |= static_cast<Flag>(v[i + j] != first);
        if (differs) return true;
    }
    Flag differs = 0;
    for (; i < n; ++i) differs |= static_cast<Flag>(v[i] != first);
    return differs != 0;
}

template <typename T>
void mark_changes(const T* dense, Py_ssize_t rows, Py_ssize_t width, const std::int64_t* starts,
                  const std::int64_t* stops, Py_ssize_t ranges, bool* out) {
    for (Py_ssize_t r = 0; r < rows; ++r) {  // row by row: the block is read in its order
        for (Py_ssize_t j = 0; j < ranges; ++j) {
            out[j * rows + r] = differs_from_first(dense + r * width + starts[j], stops[j] - starts[j]);
        }
    }
}

template <typename Pointer, typename Index>
void find_bounds(const Pointer* indptr, Py_ssize_t rows, const Index* indices, const std::int64_t* columns,
                 Py_ssize_t count, std::int64_t* out) {
    for (Py_ssize_t r = 0; r < rows; ++r) {
        const Index* first = indices + indptr[r];
        const Index* last = indices + indptr[r + 1];
        for (Py_ssize_t c = 0; c < count; ++c) {
            // std::lower_bound compares in the wider type: a column past int32 is past every index
            const Index* at = std::lower_bound(first, last, columns[c],
                                               [](Index index, std::int64_t column) { return index < column; });
            out[r * count + c] = static_cast<std::int64_t>(at - indices);
        }
    }
}

template <typename Pointer>
bool check_indptr(const Pointer* indptr, Py_ssize_t length, Py_ssize_t stored) {
    for (Py_ssize_t r = 0; r < length; ++r) {
        bool fits = indptr[r] >= 0 && static_cast<std::int64_t>(indptr[r]) <= stored &&
                    (r == 0 || indptr[r] >= indptr[r - 1]);
        if (!fits) {
            PyErr_Format(PyExc_ValueError,
                         "stored_bounds(): indptr must rise from 0 or more to at most the %zd stored values, "
                         "not hold %lld at %zd",
                         stored, static_cast<long long>(indptr[r]), r);
            return false;
        }
    }
    return true;
}

template <typename Pointer>
void bounds_for(PyArrayObject* indptr, PyArrayObject* indices, const std::int64_t* columns, Py_ssize_t count,
                std::int64_t* out) {
    Py_ssize_t rows = PyArray_DIM(indptr, 0) - 1;
    if (PyArray_TYPE(indices) == NPY_INT32) {
        find_bounds(data_of<Pointer>(indptr), rows, data_of<std::int32_t>(indices), columns, count, out);
    } else {
        find_bounds(data_of<Pointer>(indptr), rows, data_of<std::int64_t>(indices), columns, count, out);
    }
}

}  // namespace

PyObject* row_changes(PyObject*, PyObject* args) {
    PyObject *given_dense = nullptr, *given_starts = nullptr, *given_stops = nullptr;
    if (!PyArg_ParseTuple(args, "OOO:row_changes", &given_dense, &given_starts, &given_stops)) return nullptr;
    PyArrayObject* dense = array_argument(given_dense, "row_changes", "dense", 2, {NPY_DOUBLE, NPY_INT8, NPY_INT64});
    PyArrayObject* starts = dense ? array_argument(given_starts, "row_changes", "starts", 1, {NPY_INT64}) : nullptr;
    PyArrayObject* stops = starts ? array_argument(given_stops, "row_changes", "stops", 1, {NPY_INT64}) : nullptr;
    if (!stops) return nullptr;
    Py_ssize_t rows = PyArray_DIM(dense, 0), width = PyArray_DIM(dense, 1), ranges = PyArray_DIM(starts, 0);
    if (PyArray_DIM(stops, 0) != ranges) {
        PyErr_SetString(PyExc_ValueError, "row_changes(): starts and stops must be as long");
        return nullptr;
    }
    const std::int64_t *start = data_of<std::int64_t>(starts), *stop = data_of<std::int64_t>(stops);
    for (Py_ssize_t j = 0; j < ranges; ++j) {
        if (start[j] < 0 || start[j] > stop[j] || stop[j] > width) {
            PyErr_Format(PyExc_ValueError, "row_changes(): range %zd, [%lld, %lld), is not within the %zd columns", j,
                         static_cast<long long>(start[j]), static_cast<long long>(stop[j]), width);
            return nullptr;
        }
    }
    npy_intp shape[2] = {ranges, rows};
    Ref changes = Ref::steal(PyArray_SimpleNew(2, shape, NPY_BOOL));
    if (!changes) return nullptr;
    bool* out = static_cast<bool*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(changes.get())));
    int type = PyArray_TYPE(dense);
    Py_BEGIN_ALLOW_THREADS
    if (type == NPY_DOUBLE) {
        mark_changes(data_of<double>(dense), rows, width, start, stop, ranges, out);
    } else if (type == NPY_INT8) {
        mark_changes(data_of<std::int8_t>(dense), rows, width, start, stop, ranges, out);
    } else {
        mark_changes(data_of<std::int64_t>(dense), rows, width, start, stop, ranges, out);
    }
    Py_END_ALLOW_THREADS
    return changes.release();
}

PyObject* stored_bounds(PyObject*, PyObject* args) {
    PyObject *given_indptr = nullptr, *given_indices = nullptr, *given_columns = nullptr;
    if (!PyArg_ParseTuple(args, "OOO:stored_bounds", &given_indptr, &given_indices, &given_columns)) return nullptr;
    PyArrayObject* indptr = array_argument(given_indptr, "stored_bounds", "indptr", 1, {NPY_INT32, NPY_INT64});
    PyArrayObject* indices =
        indptr ? array_argument(given_indices, "stored_bounds", "indices", 1, {NPY_INT32, NPY_INT64}) : nullptr;
    PyArrayObject* columns =
        indices ? array_argument(given_columns, "stored_bounds", "columns", 1, {NPY_INT64}) : nullptr;
    if (!columns) return nullptr;
    Py_ssize_t length = PyArray_DIM(indptr, 0), stored = PyArray_DIM(indices, 0);
    if (length == 0) {
        PyErr_SetString(PyExc_ValueError, "stored_bounds(): indptr must hold one more entry than the rows");
        return nullptr;
    }
    bool wide = PyArray_TYPE(indptr) == NPY_INT64;
    if (wide ? !check_indptr(data_of<std::int64_t>(indptr), length, stored)
             : !check_indptr(data_of<std::int32_t>(indptr), length, stored)) {
        return nullptr;
    }
    Py_ssize_t count = PyArray_DIM(columns, 0);
    npy_intp shape[2] = {length - 1, count};
    Ref bounds = Ref::steal(PyArray_SimpleNew(2, shape, NPY_INT64));
    if (!bounds) return nullptr;
    std::int64_t* out = static_cast<std::int64_t*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(bounds.get())));
    const std::int64_t* wanted = data_of<std::int64_t>(columns);
    Py_BEGIN_ALLOW_THREADS
    if (wide) {
        bounds_for<std::int64_t>(indptr, indices, wanted, count, out);
    } else {
        bounds_for<std::int32_t>(indptr, indices, wanted, count, out);
    }
    Py_END_ALLOW_THREADS
    return bounds.release();
}

}  // namespace ombrix
