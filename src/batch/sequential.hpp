// Sequential backgrounds for the batch driver: permutation_score's and
// perm_cnv_pyx's background loops run under a stop rule, one call per task.
#pragma once

#include <Python.h>

namespace ombrix {

// sequential_score(x, cnv, exp_lambda, possion_lambda, chr_num, backgrounds, stop_after[, keep_scores])
PyObject* sequential_score(PyObject* self, PyObject* args);

// sequential_r(cnv, exp_lam, possion_lam, backgrounds, stop_after, observed)
PyObject* sequential_r(PyObject* self, PyObject* args);

}  // namespace ombrix
