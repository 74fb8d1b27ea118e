// Moment skewness (biased Fisher-Pearson g1) of a float vector.
#pragma once

#include "../array_ops/array_ops.hpp"

namespace ombrix {

struct SkewLines {
    static constexpr int definition = 8;
    static constexpr int mean = 10;
    static constexpr int std = 11;
};

// Internal routine: empty with the exception pending on failure.
std::optional<double> skew(const FloatVector& data);
// The same over given array operations (the other scores' skewness).
std::optional<double> skew(ArrayOps& ops, const FloatVector& data);

// The sum-of-cubes step, given NumPy's mean and standard deviation.
double skew_from_moments(const FloatVector& data, double mean, double std);

}  // namespace ombrix
