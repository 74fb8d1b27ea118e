// The logistic weight one / (one + np.exp(s)) that the scores share, in
// NumPy scalar arithmetic with `one` the Python 1 or 1.0 of each formula.
#pragma once

#include "array_ops.hpp"

namespace ombrix {

// `exp_fn` is np.exp, fetched by the caller at the point its statement
// does. Returns false with the exception pending.
bool logistic_weight(const Ref& exp_fn, double s, PyObject* one, double& weight);

// 1 / (1 + np.exp(s)) of the skewness s of `lengths` (segment or run
// lengths), np.exp fetched after the skewness. False with the exception
// pending.
bool length_skew_weight(ArrayOps& ops, const FloatVector& lengths, double& weight);

}  // namespace ombrix
