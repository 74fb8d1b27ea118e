// A chunk of the batch driver's tasks scored in one call: each task's
// permutation_score under the stop rule (and its R statistic with its
// permutations), its results gathered into arrays, with no Python code per
// task but the caller's own hook.
#pragma once

#include <Python.h>

namespace ombrix {

// score_chunk(values, starts, exp_lambda, possion_lambda, backgrounds, stop_after, with_r, before_task)
PyObject* score_chunk(PyObject* self, PyObject* args);

}  // namespace ombrix
