#include "sequential.hpp"

#include <vector>

#include "../permutation/permutation_score.hpp"
#include "../capi/process_state.hpp"
#include "../capi/views.hpp"

namespace ombrix {

namespace {

bool bind_profile(PyObject* obj, FloatVector& out) {
    if (obj == Py_None) {
        PyErr_SetString(PyExc_TypeError, "the profile must be a 1-D float64 array, not None");
        return false;
    }
    return bind_vector(obj, kDouble, true, out) && check_vector_length(out.length);
}

}  // namespace

bool check_counts(int backgrounds, int stop_after) {
    if (backgrounds < 0 || stop_after < 0) {
        PyErr_Format(PyExc_ValueError, "backgrounds (%d) and stop_after (%d) must not be negative", backgrounds,
                     stop_after);
        return false;
    }
    return true;
}

PyObject* sequential_score(PyObject*, PyObject* args) {
    int x = 0, chr_num = 0, backgrounds = 0, stop_after = 0, keep_scores = 0;
    PyObject *cnv_obj = nullptr, *exp_obj = nullptr, *possion_obj = nullptr;
    if (!PyArg_ParseTuple(args, "iOOOiii|p:sequential_score", &x, &cnv_obj, &exp_obj, &possion_obj, &chr_num,
                          &backgrounds, &stop_after, &keep_scores) ||
        !check_counts(backgrounds, stop_after)) {
        return nullptr;
    }
    FloatVector cnv, exp_lambda, possion_lambda;
    if (!bind_profile(cnv_obj, cnv) || !bind_profile(exp_obj, exp_lambda) ||
        !bind_profile(possion_obj, possion_lambda)) {
        return nullptr;
    }
    int run = 0;
    std::vector<double> drawn;
    Ref judged = Ref::steal(permutation_score(x, cnv, FloatMatrix{}, exp_lambda, possion_lambda, chr_num, backgrounds,
                                              true, StopRule{stop_after, true, &run, keep_scores ? &drawn : nullptr}));
    if (!judged) return nullptr;
    Ref run_obj = Ref::steal(PyLong_FromLong(run));
    if (!run_obj || PyDict_SetItemString(judged.get(), "backgrounds", run_obj.get()) < 0) return nullptr;
    if (keep_scores) {
        Ref scores = Ref::steal(PyList_New(static_cast<Py_ssize_t>(drawn.size())));
        if (!scores) return nullptr;
        for (size_t i = 0; i < drawn.size(); ++i) {
            PyObject* value = PyFloat_FromDouble(drawn[i]);
            if (!value) return nullptr;
            PyList_SET_ITEM(scores.get(), static_cast<Py_ssize_t>(i), value);
        }
        if (PyDict_SetItemString(judged.get(), "background_scores", scores.get()) < 0) return nullptr;
    }
    return judged.release();
}

}  // namespace ombrix
