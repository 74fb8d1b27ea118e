// Sequential backgrounds for the batch driver: permutation_score's background
// loop run under a stop rule, one call per profile (the profile figure's).
#pragma once

#include <Python.h>

namespace ombrix {

// Refuses negative background counts and stop rules (ValueError).
bool check_counts(int backgrounds, int stop_after);

// sequential_score(x, cnv, exp_lambda, possion_lambda, chr_num, backgrounds, stop_after[, keep_scores])
PyObject* sequential_score(PyObject* self, PyObject* args);

}  // namespace ombrix
