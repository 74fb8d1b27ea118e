#include "skew.hpp"

#include <cmath>
#include <cstdint>
#include <cstring>

#include "../module/module_state.hpp"
#include "ops_choice.hpp"

namespace ombrix {

namespace {
constexpr const char* kQualname = "ombrix.skew";
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

double skew(ArrayOps& ops, const FloatVector& data) {
    double mean = 0.0;
    if (!ops.mean(data, mean)) {
        add_traceback(kQualname, SkewLines::mean);
        return -1.0;
    }
    double std = 0.0;
    if (!ops.std(data, std)) {
        add_traceback(kQualname, SkewLines::std);
        return -1.0;
    }
    return skew_from_moments(data, mean, std);
}

PyObject* skew_entry(const BoundArgs& args) {
    const FloatVector& data = args.vector(0);
    double result = with_array_ops(!data.is_none(), [&](ArrayOps& ops) { return skew(ops, data); });
    if (result == -1.0 && PyErr_Occurred()) return nullptr;
    return PyFloat_FromDouble(result);
}

}  // namespace ombrix
