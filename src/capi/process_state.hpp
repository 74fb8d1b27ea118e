// What every part of the module shares for the life of the process: the
// module and its namespace, the NumPy its body imported, interned names and
// shared constants. Each subsystem keeps its own process-long state beside
// its code. All of it is made once, when the module is executed, and never
// released (the interpreter may tear modules down in any order at exit).
#pragma once

#include <Python.h>

#include <cstdint>

namespace ombrix {

struct ModuleState {
    PyObject* module = nullptr;        // owned once executed
    PyObject* globals = nullptr;       // borrowed from the module
    PyObject* builtins = nullptr;      // owned
    PyObject* ndarray_type = nullptr;  // owned, from the type-size checks
    PyObject* numpy = nullptr;         // owned: the NumPy the module body imported
    int64_t interpreter_id = -1;       // the one interpreter the module may load into
    bool run_as_main = false;          // set only by a host that runs the module as __main__
};

#define OMBRIX_NAMES(X)                                                         \
    X(np) X(numpy) X(mean) X(std) X(ddof) X(diff) X(where) X(zeros)             \
    X(concatenate) X(sum) X(exp) X(var) X(random) X(seed) X(poisson)            \
    X(exponential) X(size) X(inf) X(round) X(cumsum) X(repeat) X(abs)           \
    X(isnan) X(astype) X(tolist) X(smooth_segment)                            \
    X(rearrange_score) X(limit) X(dc) X(num_greater) X(x) X(cal_limit)          \
    X(double_) X(replace) X(co_argcount) X(co_varnames) X(co_nlocals)          \
    X(acquire) X(release) X(_bit_generator) X(_rand) X(filters)                \
    X(defaultaction) X(showwarning) X(_showwarning_orig) X(_showwarnmsg)        \
    X(_showwarnmsg_impl) X(warn) X(match) X(append) X(dunder_name)              \
    X(dunder_warningregistry) X(warnings)

// Interned attribute, parameter and key names ("double_" stands for
// "double", "dunder_x" for "__x__").
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

extern ModuleState state;
extern Names names;
extern Constants constants;

// Creates the names and constants; false with an exception set.
bool create_names_and_constants();

}  // namespace ombrix
