#include "chunk.hpp"

#include <cmath>
#include <cstring>
#include <vector>

#include "../capi/calls.hpp"
#include "../capi/numpy_api.hpp"
#include "../capi/process_state.hpp"
#include "../capi/views.hpp"
#include "../permutation/perm_cnv.hpp"
#include "../permutation/permutation_score.hpp"
#include "../scoring/cal_r.hpp"
#include "sequential.hpp"

namespace ombrix {

namespace {

// The columns of a chunk's results, one entry per task.
struct Columns {
    std::vector<long long> n_segments, num_greater, backgrounds, r_num_greater, r_backgrounds;
    std::vector<double> rearrange_score, limit, r;
};

// The task bounds and lambdas as bound views, checked against each other
// and the values.
struct ChunkViews {
    FloatVector values, exp_lambda, possion_lambda;
    Int64Vector starts;
};

bool bind_chunk(PyObject* values, PyObject* starts, PyObject* exp_lambda, PyObject* possion_lambda,
                ChunkViews& out) {
    for (PyObject* given : {values, starts, exp_lambda, possion_lambda}) {
        if (given == Py_None) {
            PyErr_SetString(PyExc_TypeError, "score_chunk(): the values, starts and lambdas must be arrays, not None");
            return false;
        }
    }
    if (!bind_vector(values, kDouble, true, out.values) || !bind_vector(starts, kInt64, false, out.starts) ||
        !bind_vector(exp_lambda, kDouble, false, out.exp_lambda) ||
        !bind_vector(possion_lambda, kDouble, false, out.possion_lambda)) {
        return false;
    }
    Py_ssize_t tasks = out.exp_lambda.length;
    if (out.possion_lambda.length != tasks || out.starts.length != tasks + 1) {
        PyErr_Format(PyExc_ValueError,
                     "score_chunk(): %zd exp_lambda, %zd possion_lambda and %zd starts do not describe the "
                     "same tasks (starts holds one more)",
                     tasks, out.possion_lambda.length, out.starts.length);
        return false;
    }
    long long previous = 0;
    for (Py_ssize_t k = 0; k <= tasks; ++k) {
        long long at = out.starts[k];
        if (at < previous || at > out.values.length || (k == 0 && at != 0)) {
            PyErr_Format(PyExc_ValueError,
                         "score_chunk(): starts must rise from 0 to at most the %zd values, not reach %lld at %zd",
                         out.values.length, at, k);
            return false;
        }
        previous = at;
    }
    return true;
}

// An item of a result dictionary as a double or an integer; KeyError where it is missing.
bool item_double(PyObject* dict, PyObject* key, double& out) {
    PyObject* value = dict_item(dict, key);
    out = value ? PyFloat_AsDouble(value) : -1.0;
    return value && !(out == -1.0 && PyErr_Occurred());
}

bool item_integer(PyObject* dict, PyObject* key, long long& out) {
    PyObject* value = dict_item(dict, key);
    out = value ? PyLong_AsLongLong(value) : -1;
    return value && !(out == -1 && PyErr_Occurred());
}

// One task: permutation_score's judged score under the stop rule, and
// with_r, R and its permutations under seed 1.
bool score_task(const ChunkViews& chunk, Py_ssize_t k, int backgrounds, int stop_after, bool with_r,
                Columns& columns) {
    FloatVector cnv = subview(chunk.values, static_cast<Py_ssize_t>(chunk.starts[k]),
                              static_cast<Py_ssize_t>(chunk.starts[k + 1]));
    if (!check_vector_length(cnv.length)) return false;
    FloatVector exp_lambda = subview(chunk.exp_lambda, k, k + 1);
    FloatVector possion_lambda = subview(chunk.possion_lambda, k, k + 1);
    int run = 0;
    Ref judged = Ref::steal(permutation_score(0, cnv, FloatMatrix{}, exp_lambda, possion_lambda, 0, backgrounds,
                                              true, StopRule{stop_after, true, &run, nullptr}));
    if (!judged) return false;
    PyObject* score = dict_item(judged.get(), names.dc);
    if (!score) return false;
    PyObject* segments = dict_item(score, names.smooth_segment);
    Py_ssize_t n_segments = segments ? PyObject_Length(segments) : -1;
    double rearrange_score = 0.0, limit = 0.0;
    long long num_greater = 0;
    if (n_segments < 0 || !item_double(score, names.rearrange_score, rearrange_score) ||
        !item_double(score, names.limit, limit) || !item_integer(judged.get(), names.num_greater, num_greater)) {
        return false;
    }
    columns.n_segments.push_back(n_segments);
    columns.rearrange_score.push_back(rearrange_score);
    columns.limit.push_back(limit);
    columns.num_greater.push_back(num_greater);
    columns.backgrounds.push_back(run);
    if (!with_r) return true;
    std::optional<double> r = cal_r(cnv);
    if (!r) return false;
    PermutationCount count;  // a NaN R is reached by no permutation: the count is 0 after any number
    if (!std::isnan(*r)) {
        std::optional<PermutationCount> counted =
            count_perm_cnv(cnv, exp_lambda[0], possion_lambda[0], backgrounds, 1, *r, stop_after);
        if (!counted) return false;
        count = *counted;
    }
    columns.r.push_back(*r);
    columns.r_num_greater.push_back(count.reached);
    columns.r_backgrounds.push_back(count.run);
    return true;
}

template <typename T>
Ref array_of(const std::vector<T>& values, int type) {
    npy_intp size = static_cast<npy_intp>(values.size());
    Ref array = Ref::steal(PyArray_SimpleNew(1, &size, type));
    if (array && !values.empty()) {
        std::memcpy(PyArray_DATA(reinterpret_cast<PyArrayObject*>(array.get())), values.data(),
                    values.size() * sizeof(T));
    }
    return array;
}

// The columns as a tuple of arrays, in the driver's column order.
PyObject* column_tuple(const Columns& columns, bool with_r) {
    Ref parts[] = {array_of(columns.n_segments, NPY_INT64), array_of(columns.rearrange_score, NPY_DOUBLE),
                   array_of(columns.limit, NPY_DOUBLE),     array_of(columns.num_greater, NPY_INT64),
                   array_of(columns.backgrounds, NPY_INT64), array_of(columns.r, NPY_DOUBLE),
                   array_of(columns.r_num_greater, NPY_INT64), array_of(columns.r_backgrounds, NPY_INT64)};
    Py_ssize_t count = with_r ? 8 : 5;
    Ref tuple = Ref::steal(PyTuple_New(count));
    if (!tuple) return nullptr;
    for (Py_ssize_t i = 0; i < count; ++i) {
        if (!parts[i]) return nullptr;
        PyTuple_SET_ITEM(tuple.get(), i, parts[i].release());
    }
    return tuple.release();
}

}  // namespace

PyObject* score_chunk(PyObject*, PyObject* args) {
    PyObject *values = nullptr, *starts = nullptr, *exp_lambda = nullptr, *possion_lambda = nullptr;
    PyObject* before_task = Py_None;
    int backgrounds = 0, stop_after = 0, with_r = 0;
    if (!PyArg_ParseTuple(args, "OOOOiip|O:score_chunk", &values, &starts, &exp_lambda, &possion_lambda,
                          &backgrounds, &stop_after, &with_r, &before_task)) {
        return nullptr;
    }
    if (!check_counts(backgrounds, stop_after)) return nullptr;
    if (before_task != Py_None && !PyCallable_Check(before_task)) {
        PyErr_SetString(PyExc_TypeError, "score_chunk(): before_task must be callable or None");
        return nullptr;
    }
    ChunkViews chunk;
    if (!bind_chunk(values, starts, exp_lambda, possion_lambda, chunk)) return nullptr;
    Columns columns;
    Ref hook = Ref::borrow(before_task);
    for (Py_ssize_t k = 0; k < chunk.exp_lambda.length; ++k) {
        if (before_task != Py_None && !call(hook, {})) return nullptr;
        if (!score_task(chunk, k, backgrounds, stop_after, with_r, columns)) return nullptr;
    }
    return column_tuple(columns, with_r);
}

}  // namespace ombrix
