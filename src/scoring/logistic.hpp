// The logistic weight one / (one + np.exp(s)) that the scores share, in
// NumPy scalar arithmetic with `one` the Python 1 or 1.0 of each formula.
#pragma once

#include "../array_ops/array_ops.hpp"

namespace ombrix {

// `exp_fn` is np.exp, fetched by the caller at the point its statement
// does. Empty with the exception pending.
std::optional<double> logistic_weight(ArrayOps& ops, const Ref& exp_fn, double s, PyObject* one);

// 1 / (1 + np.exp(s)) of the skewness s of `lengths` (segment or run
// lengths), np.exp fetched after the skewness.
std::optional<double> length_skew_weight(ArrayOps& ops, const FloatVector& lengths);

}  // namespace ombrix
