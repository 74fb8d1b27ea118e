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
    {"sequential_r", guarded<sequential_r>, METH_VARARGS,
     "sequential_r(cnv, exp_lam, possion_lam, backgrounds, stop_after, observed)\n--\n\n"
     "(reached, run): the entries of perm_cnv_pyx(cnv, exp_lam, possion_lam, backgrounds, 1) at least\n"
     "observed, among the first run, stopped after the stop_after-th (0: never)."},
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
