#include "skew.hpp"

#include <cmath>
#include <cstdint>
#include <cstring>

#include "../array_ops/backend_choice.hpp"
#include "../capi/failures.hpp"

namespace ombrix {

namespace {
constexpr Traceback trace{"ombrix.skew"};
}

double skew_from_moments(const FloatVector& data, double mean, double std) {
    int n = static_cast<int>(data.length);
    double acc = 0.0;
    // Profiles repeat values in runs: a term depends on the element's bits
    // alone, so a repeat reuses the last one (pow dominates the loop).
    uint64_t last_bits = 0;
    double term = 0.0;
    for (int i = 0; i < n; ++i) {
        double x = data[i];
        uint64_t bits;
        std::memcpy(&bits, &x, sizeof bits);
        if (i == 0 || bits != last_bits) {
            double z = (x - mean) / std;
            term = std::pow(z, 3.0);  // pow, not z*z*z: the two can differ in the last bit
            last_bits = bits;
        }
        acc = acc + term;
    }
    return (1.0 / static_cast<double>(n)) * acc;
}

std::optional<double> skew(ArrayOps& ops, const FloatVector& data) {
    std::optional<double> mean = ops.mean(data);
    if (!mean) return trace.at(SkewLines::mean);
    std::optional<double> std = ops.std(data);
    if (!std) return trace.at(SkewLines::std);
    return skew_from_moments(data, *mean, *std);
}

std::optional<double> skew(const FloatVector& data) {
    return with_array_ops(!data.is_none(), [&](ArrayOps& ops) { return skew(ops, data); });
}

}  // namespace ombrix
