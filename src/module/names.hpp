// Interned attribute, parameter and key names and the shared constants,
// created once when the module is executed.
#pragma once

#include <Python.h>

namespace ombrix {

#define OMBRIX_NAMES(X)                                                         \
    X(np) X(numpy) X(mean) X(std) X(ddof) X(diff) X(where) X(zeros)             \
    X(concatenate) X(sum) X(exp) X(var) X(random) X(seed) X(poisson)            \
    X(exponential) X(size) X(inf) X(round) X(cumsum) X(repeat) X(abs)           \
    X(isnan) X(astype) X(tolist) X(smooth_segment)                            \
    X(rearrange_score) X(limit) X(dc) X(num_greater) X(x) X(cal_limit)          \
    X(double_) X(replace) X(co_argcount) X(co_varnames) X(co_nlocals)

struct Names {
#define OMBRIX_DECLARE_NAME(n) PyObject* n = nullptr;
    OMBRIX_NAMES(OMBRIX_DECLARE_NAME)
#undef OMBRIX_DECLARE_NAME
};

struct Constants {
    PyObject* int_0 = nullptr;
    PyObject* int_1 = nullptr;
    PyObject* float_0_6 = nullptr;
    PyObject* float_1_0 = nullptr;
    PyObject* ddof_kwnames = nullptr;   // ("ddof",)
    PyObject* size_kwnames = nullptr;   // ("size",)
    PyObject* where_kwnames = nullptr;  // ("where",)
    PyObject* column_key[3] = {};       // (slice(None), j): column j of a table
};

// Both live for the whole process once created.
extern Names names;
extern Constants constants;

// Returns false with an exception set.
bool create_names_and_constants();

}  // namespace ombrix
