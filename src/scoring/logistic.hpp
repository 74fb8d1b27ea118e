// The logistic weight one / (one + np.exp(s)) that the scores share, in
// NumPy scalar arithmetic with `one` the Python 1 or 1.0 of each formula.
#pragma once

#include "../module/ref.hpp"

namespace ombrix {

// `exp_fn` is np.exp, fetched by the caller at the point its statement
// does. Returns false with the exception pending.
bool logistic_weight(const Ref& exp_fn, double s, PyObject* one, double& weight);

}  // namespace ombrix
