// Moment skewness (biased Fisher-Pearson g1) of a float vector.
#pragma once

#include "../module/binding.hpp"
#include "array_ops.hpp"

namespace ombrix {

struct SkewLines {
    static constexpr int definition = 8;
    static constexpr int mean = 10;
    static constexpr int std = 11;
};

// Internal routine: returns -1.0 with the exception pending on failure (a
// caller tests PyErr_Occurred() on -1.0, which is also a valid skewness).
double skew(ArrayOps& ops, const FloatVector& data);

// The sum-of-cubes step, given NumPy's mean and standard deviation.
double skew_from_moments(const FloatVector& data, double mean, double std);

PyObject* skew_entry(const BoundArgs& args);

}  // namespace ombrix
