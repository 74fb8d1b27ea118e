// The logistic weight 1 / (1 + np.exp(s)) of a length skewness, which the
// rearrangement score and the permutation background share.
#pragma once

#include "../array_ops/array_ops.hpp"

namespace ombrix {

// 1 / (1 + np.exp(s)) of the skewness s of `lengths` (segment or run
// lengths), np.exp fetched after the skewness.
std::optional<double> length_skew_weight(ArrayOps& ops, const FloatVector& lengths);

}  // namespace ombrix
