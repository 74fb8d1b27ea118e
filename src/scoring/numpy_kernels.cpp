#include "numpy_kernels.hpp"

#include <cfenv>
#include <cmath>
#include <cstring>

namespace ombrix::kernels {

namespace {

unsigned raised_flags(double barrier) {
    // The volatile store keeps the arithmetic ahead of the flag test.
    volatile double sink = barrier;
    (void)sink;
    int raised = std::fetestexcept(FE_DIVBYZERO | FE_OVERFLOW | FE_UNDERFLOW | FE_INVALID);
    unsigned flags = 0;
    if (raised & FE_DIVBYZERO) flags |= kDivideByZero;
    if (raised & FE_OVERFLOW) flags |= kOverflow;
    if (raised & FE_UNDERFLOW) flags |= kUnderflow;
    if (raised & FE_INVALID) flags |= kInvalid;
    return flags;
}

void clear_flags() { std::feclearexcept(FE_ALL_EXCEPT); }

double load(const char* base, Py_ssize_t stride, Py_ssize_t i) {
    double value;
    std::memcpy(&value, base + i * stride, sizeof value);
    return value;
}

struct Elements {
    Doubles x;
    double operator()(Py_ssize_t i) const { return load(x.base, x.stride, i); }
};

struct SquaredDeviations {
    Doubles x;
    double mean;
    double operator()(Py_ssize_t i) const {
        double d = load(x.base, x.stride, i) - mean;
        return d * d;
    }
};

constexpr Py_ssize_t kBlock = 128;

template <class Get>
double pairwise(const Get& a, Py_ssize_t lo, Py_ssize_t n) {
    if (n < 8) {
        double res = 0.;
        for (Py_ssize_t i = 0; i < n; ++i) res += a(lo + i);
        return res;
    }
    if (n <= kBlock) {
        double r[8];
        for (int j = 0; j < 8; ++j) r[j] = a(lo + j);
        Py_ssize_t i = 8;
        for (; i < n - (n % 8); i += 8) {
            for (int j = 0; j < 8; ++j) r[j] += a(lo + i + j);
        }
        double res = ((r[0] + r[1]) + (r[2] + r[3])) + ((r[4] + r[5]) + (r[6] + r[7]));
        for (; i < n; ++i) res += a(lo + i);
        return res;
    }
    Py_ssize_t n2 = n / 2;
    n2 -= n2 % 8;
    return pairwise(a, lo, n2) + pairwise(a, lo + n2, n - n2);
}

// add.reduce: the reduction starts from 0.0 and takes one buffer-sized chunk
// of the inner loop at a time.
template <class Get>
double reduce_add(const Get& a, Py_ssize_t n, Py_ssize_t bufsize) {
    double total = 0.0;
    for (Py_ssize_t start = 0; start < n; start += bufsize) {
        Py_ssize_t count = n - start < bufsize ? n - start : bufsize;
        total += pairwise(a, start, count);
    }
    return total;
}

double plain_sum(Doubles x, Py_ssize_t bufsize) { return reduce_add(Elements{x}, x.length, bufsize); }

double plain_variance(Doubles x, Py_ssize_t bufsize) {
    double n = static_cast<double>(x.length);
    double mean = plain_sum(x, bufsize) / n;
    return reduce_add(SquaredDeviations{x, mean}, x.length, bufsize) / n;
}

}  // namespace

Result sum(Doubles x, Py_ssize_t bufsize) {
    clear_flags();
    double value = plain_sum(x, bufsize);
    return {value, raised_flags(value)};
}

Result mean(Doubles x, Py_ssize_t bufsize) {
    clear_flags();
    double value = plain_sum(x, bufsize) / static_cast<double>(x.length);
    return {value, raised_flags(value)};
}

Result variance(Doubles x, Py_ssize_t bufsize) {
    clear_flags();
    double value = plain_variance(x, bufsize);
    return {value, raised_flags(value)};
}

Result standard_deviation(Doubles x, Py_ssize_t bufsize) {
    clear_flags();
    double value = std::sqrt(plain_variance(x, bufsize));
    return {value, raised_flags(value)};
}

unsigned scaled_running_sum(Doubles weights, double scale, Py_ssize_t bufsize,
                            std::vector<double>& out) {
    clear_flags();
    double total = plain_sum(weights, bufsize);
    out.resize(static_cast<size_t>(weights.length));
    double running = 0.0;
    for (Py_ssize_t i = 0; i < weights.length; ++i) {
        double normalised = load(weights.base, weights.stride, i) / total;
        // cumsum's first element is the value itself, not 0.0 + value
        double rounded = std::rint(normalised * scale);
        running = i == 0 ? rounded : running + rounded;
        out[static_cast<size_t>(i)] = running;
    }
    return raised_flags(running);
}

unsigned change_points(Doubles x, std::vector<double>& out) {
    clear_flags();
    out.clear();
    double last = 0.0;
    for (Py_ssize_t i = 0; i + 1 < x.length; ++i) {
        double d = load(x.base, x.stride, i + 1) - load(x.base, x.stride, i);
        last = d;
        if (d != 0) out.push_back(static_cast<double>(i));  // NaN counts as a change
    }
    return raised_flags(last);
}

}  // namespace ombrix::kernels
