// The driver's compiled helper, ombrix_batch._native: the module's own
// routines, started on the namespace of the imported ombrix module, so that
// they look up np and cal_limit where the published functions do.
#include <Python.h>

#include "../array_ops/empty_mean.hpp"
#include "../array_ops/native_gate.hpp"
#include "../capi/no_cxx_exceptions.hpp"
#include "../capi/numpy_import.hpp"
#include "../capi/process_state.hpp"
#include "../capi/python_code.hpp"
#include "../capi/views.hpp"
#include "../draws/global_generator.hpp"
#include "block_scan.hpp"
#include "chunk.hpp"
#include "sequential.hpp"

namespace ombrix {

namespace {

bool started = false;

bool start() {
    if (started) return true;
    Ref published = Ref::steal(PyImport_ImportModule("ombrix"));
    if (!published) return false;
    PyObject* globals = PyModule_GetDict(published.get());
    if (!globals) return false;
    if (!state.builtins && !(state.builtins = PyImport_ImportModule("builtins"))) return false;
    if ((!names.np && !create_names_and_constants()) || !ready_view_types()) return false;
    if (!import_numpy_interface() || !import_numpy_types()) return false;
    // the namespace first: the start-up of NumPy's functions watches it
    state.globals = globals;
    state.module = published.release();  // keeps the namespace alive
    Ref numpy = Ref::steal(PyImport_ImportModule("numpy"));
    if (numpy && !state.numpy) state.numpy = Py_NewRef(numpy.get());
    started = numpy && remember_startup_numpy() && record_empty_mean(state.numpy);
    if (started) install_draws();
    if (!started) {  // a later import starts again
        Py_CLEAR(state.module);
        state.globals = nullptr;
    }
    return started;
}

template <PyObject* (*function)(PyObject*, PyObject*)>
PyObject* guarded(PyObject* self, PyObject* args) {
    return without_cxx_exceptions<PyObject*>(
        nullptr,
        [&] {
            PyObject* result = function(self, args);
            before_python_code();  // back to the interpreter: nothing left pending
            return result;
        },
        "ombrix_batch._native: out of memory (a native allocation failed)",
        "ombrix_batch._native: unexpected internal error");
}

PyMethodDef methods[] = {
    {"sequential_score", guarded<sequential_score>, METH_VARARGS,
     "sequential_score(x, cnv, exp_lambda, possion_lambda, chr_num, backgrounds, stop_after, keep_scores=False, /)\n"
     "--\n\n"
     "permutation_score(x, cnv, None, exp_lambda, possion_lambda, chr_num, backgrounds, True), its\n"
     "backgrounds (seeds 1, 2, ...) stopped after the stop_after-th that reaches the score (0: never)\n"
     "and skipped for a NaN score; the result adds \"backgrounds\", how many were drawn, and with\n"
     "keep_scores \"background_scores\", their scores as compared (rounded to single precision)."},
    {"score_chunk", guarded<score_chunk>, METH_VARARGS,
     "score_chunk(values, starts, exp_lambda, possion_lambda, backgrounds, stop_after, with_r, before_task=None, /)\n"
     "--\n\n"
     "Each task k (values[starts[k]:starts[k + 1]], exp_lambda[k], possion_lambda[k]) judged as\n"
     "sequential_score(0, values, [exp_lambda], [possion_lambda], 0, backgrounds, stop_after) and, with\n"
     "with_r, its R (cal_R_pyx) and how many of perm_cnv_pyx(values, exp, possion, backgrounds, 1)\n"
     "reach it among those drawn under the same rule; before_task() called before each. Returns the arrays\n"
     "(n_segments, rearrange_score, limit, num_greater, backgrounds[, R, R_num_greater, R_backgrounds])."},
    {"row_changes", guarded<row_changes>, METH_VARARGS,
     "row_changes(dense, starts, stops, /)\n"
     "--\n\n"
     "For each column range [starts[j], stops[j]) and each row of dense (C-contiguous float64, int8\n"
     "or int64), whether the row's values there are not all equal (NaN differs from all): a bool\n"
     "array (ranges, rows)."},
    {"stored_bounds", guarded<stored_bounds>, METH_VARARGS,
     "stored_bounds(indptr, indices, columns, /)\n"
     "--\n\n"
     "For each row r of a CSR block and each column c, indptr[r] + the number of row r's stored\n"
     "column indices below c (its indices in order): an int64 array (rows, columns)."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "ombrix_batch._native", "Sequential backgrounds for the batch driver.", -1, methods,
    nullptr, nullptr, nullptr, nullptr,
};

PyObject* create() {
    Ref module = Ref::steal(PyModule_Create(&module_def));
    if (!module) return nullptr;
    bool started_now = without_cxx_exceptions(false, start, "init ombrix_batch._native: out of memory",
                                              "init ombrix_batch._native: unexpected internal error");
    return started_now ? module.release() : nullptr;
}

}  // namespace

}  // namespace ombrix

PyMODINIT_FUNC PyInit__native() { return ombrix::create(); }
