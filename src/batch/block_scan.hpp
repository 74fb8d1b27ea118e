// The passes over a block of the atlas that the driver's plan makes once per
// block and that NumPy makes as one temporary per chromosome or one call per
// row: which rows of each chromosome change value, and where each row's
// chromosomes begin among a CSR block's stored values.
#pragma once

#include <Python.h>

namespace ombrix {

// row_changes(dense, starts, stops): for each range [starts[j], stops[j])
// of the columns and each row of `dense` (2-D, C-contiguous, float64, int8
// or int64), whether the row's values there are not all equal, as
// np.count_nonzero(dense[:, a:b][:, 1:] != dense[:, a:b][:, :-1], axis=1) > 0
// tells it (NaN differs from everything); a bool array (ranges, rows).
PyObject* row_changes(PyObject* self, PyObject* args);

// stored_bounds(indptr, indices, columns): for each row r of a CSR block
// (int32 or int64 arrays) and each column c, where the row's stored values
// reach column c: indptr[r] + np.searchsorted(indices[indptr[r]:indptr[r + 1]], c);
// an int64 array (rows, columns).
PyObject* stored_bounds(PyObject* self, PyObject* args);

}  // namespace ombrix
