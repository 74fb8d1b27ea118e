#include "float64.hpp"

#include <cfenv>
#include <cfloat>
#include <cmath>
#include <algorithm>
#include <cstring>

#include "float64_detail.hpp"
#include "vector_clones.hpp"

#if defined(__x86_64__) || defined(__SSE2__)
#include <immintrin.h>
#define OMBRIX_SSE_FLAGS 1
#endif

namespace ombrix::kernels {

using detail::clear_flags;
using detail::flagged;
using detail::kBlock;
using detail::raised_flags;

namespace detail {

#ifdef OMBRIX_SSE_FLAGS
// The kernels' arithmetic is SSE2 only, so its flags are the MXCSR's; the
// register is much cheaper to read and clear than the whole x87 + SSE state.
unsigned raised_flags(double barrier) {
    volatile double sink = barrier;  // keeps the arithmetic ahead of the test
    (void)sink;
    unsigned csr = _mm_getcsr();
    unsigned flags = 0;
    if (csr & _MM_EXCEPT_DIV_ZERO) flags |= kDivideByZero;
    if (csr & _MM_EXCEPT_OVERFLOW) flags |= kOverflow;
    if (csr & _MM_EXCEPT_UNDERFLOW) flags |= kUnderflow;
    if (csr & _MM_EXCEPT_INVALID) flags |= kInvalid;
    return flags;
}

void clear_flags() { _mm_setcsr(_mm_getcsr() & ~static_cast<unsigned>(_MM_EXCEPT_MASK)); }
#else
unsigned raised_flags(double barrier) {
    volatile double sink = barrier;  // keeps the arithmetic ahead of the test
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
#endif

}  // namespace detail

namespace {

double load(const char* base, std::ptrdiff_t stride, std::ptrdiff_t i) {
    double value;
    std::memcpy(&value, base + i * stride, sizeof value);
    return value;
}

// Element access through the stride; the contiguous form lets the compiler
// keep the eight accumulators in vector registers (same order, same bits).
template <bool Contiguous>
struct Elements {
    Doubles x;
    double operator()(std::ptrdiff_t i) const {
        return load(x.base, Contiguous ? std::ptrdiff_t{sizeof(double)} : x.stride, i);
    }
};

template <bool Contiguous>
struct SquaredDeviations {
    Doubles x;
    double mean;
    double operator()(std::ptrdiff_t i) const {
        double d = Elements<Contiguous>{x}(i) - mean;
        return d * d;
    }
};

// NumPy's eight accumulators are eight lanes of the same additions in the
// same order: on AVX2 they are two registers instead of four.
template <class Get>
OMBRIX_VECTOR_CLONES double pairwise(const Get& a, std::ptrdiff_t lo, std::ptrdiff_t n) {
    if (n < 8) {
        double res = 0.;
        for (std::ptrdiff_t i = 0; i < n; ++i) res += a(lo + i);
        return res;
    }
    if (n <= kBlock) {
        double r[8];
        for (int j = 0; j < 8; ++j) r[j] = a(lo + j);
        std::ptrdiff_t i = 8;
        for (; i < n - (n % 8); i += 8) {
            for (int j = 0; j < 8; ++j) r[j] += a(lo + i + j);
        }
        double res = ((r[0] + r[1]) + (r[2] + r[3])) + ((r[4] + r[5]) + (r[6] + r[7]));
        for (; i < n; ++i) res += a(lo + i);
        return res;
    }
    std::ptrdiff_t n2 = n / 2;
    n2 -= n2 % 8;
    return pairwise(a, lo, n2) + pairwise(a, lo + n2, n - n2);
}

// add.reduce: the reduction starts from 0.0 and takes one chunk of the inner
// loop at a time.
template <class Get>
double reduce_add(const Get& a, std::ptrdiff_t n, std::ptrdiff_t chunk) {
    double total = 0.0;
    for (std::ptrdiff_t start = 0; start < n; start += chunk) {
        std::ptrdiff_t count = n - start < chunk ? n - start : chunk;
        total += pairwise(a, start, count);
    }
    return total;
}

double plain_sum(Doubles x, std::ptrdiff_t chunk) {
    if (x.stride == sizeof(double)) return reduce_add(Elements<true>{x}, x.length, chunk);
    return reduce_add(Elements<false>{x}, x.length, chunk);
}

double plain_variance(Doubles x, std::ptrdiff_t chunk) {
    double n = static_cast<double>(x.length);
    double mean = plain_sum(x, chunk) / n;
    double squares = x.stride == sizeof(double)
                         ? reduce_add(SquaredDeviations<true>{x, mean}, x.length, chunk)
                         : reduce_add(SquaredDeviations<false>{x, mean}, x.length, chunk);
    return squares / n;
}

}  // namespace

OMBRIX_VECTOR_CLONES void fill(double* out, std::ptrdiff_t count, double value) {
    // sixteen at a time, the last sixteen overlapping the block before
    // (the same value twice): the stores, not the loop, count
    if (count < 16) {
        for (std::ptrdiff_t i = 0; i < count; ++i) out[i] = value;
        return;
    }
    for (std::ptrdiff_t i = 0; i + 16 <= count; i += 16) {
        for (int j = 0; j < 16; ++j) out[i + j] = value;
    }
    for (int j = 0; j < 16; ++j) out[count - 16 + j] = value;
}

Result sum(Doubles x, std::ptrdiff_t chunk) {
    return flagged([&] { return plain_sum(x, chunk); });
}

Result mean(Doubles x, std::ptrdiff_t chunk) {
    return flagged([&] { return plain_sum(x, chunk) / static_cast<double>(x.length); });
}

double mean_value(Doubles x, std::ptrdiff_t chunk) { return plain_sum(x, chunk) / static_cast<double>(x.length); }

Result variance(Doubles x, std::ptrdiff_t chunk) {
    return flagged([&] { return plain_variance(x, chunk); });
}

Result standard_deviation(Doubles x, std::ptrdiff_t chunk) {
    return flagged([&] { return std::sqrt(plain_variance(x, chunk)); });
}

Result variance_with_runs(Doubles x, const Run* runs, std::ptrdiff_t count, std::ptrdiff_t chunk) {
    return flagged([&] {
        double total = 0.0;
        if (!detail::exact_integer_sum(runs, count, total)) total = plain_sum(x, chunk);
        double n = static_cast<double>(x.length);
        double mean = total / n;
        double squares = x.stride == sizeof(double)
                             ? reduce_add(SquaredDeviations<true>{x, mean}, x.length, chunk)
                             : reduce_add(SquaredDeviations<false>{x, mean}, x.length, chunk);
        return squares / n;
    });
}

unsigned divide(Doubles x, double divisor, std::vector<double>& out) {
    clear_flags();
    unsigned hand_over = divisor != 0.0 && std::fabs(divisor) < DBL_MIN ? kHandOver : 0u;
    out.resize(static_cast<size_t>(x.length));
    volatile double sink = 0.0;  // keeps every quotient ahead of the flag test
    for (std::ptrdiff_t i = 0; i < x.length; ++i) {
        double quotient = load(x.base, x.stride, i) / divisor;
        sink = quotient;
        out[static_cast<size_t>(i)] = quotient;
    }
    return raised_flags(sink) | hand_over;
}

// rint is one instruction where SSE4.1 is there (in AVX2), else a sequence
OMBRIX_VECTOR_CLONES unsigned rounded_running_sum(Doubles x, double scale, std::vector<double>& out) {
    clear_flags();
    out.resize(static_cast<size_t>(x.length));
    double running = 0.0;
    for (std::ptrdiff_t i = 0; i < x.length; ++i) {
        // cumsum's first element is the value itself, not 0.0 + value
        double rounded = std::rint(load(x.base, x.stride, i) * scale);
        running = i == 0 ? rounded : running + rounded;
        out[static_cast<size_t>(i)] = running;
    }
    return raised_flags(running);
}

void clear_fp_flags() { clear_flags(); }

unsigned current_flags() { return raised_flags(0.0); }

Result logistic(double e) {
    return flagged([&] { return 1.0 / (1.0 + e); });
}

namespace {

// Every difference feeds a branch, so all of them are done before the flag
// test that follows the loop.
template <bool Contiguous>
void collect_changes(Doubles x, std::vector<double>& out) {
    Elements<Contiguous> at{x};
    for (std::ptrdiff_t i = 0; i + 1 < x.length; ++i) {
        double d = at(i + 1) - at(i);
        if (d != 0) out.push_back(static_cast<double>(i));  // NaN counts as a change
    }
}

}  // namespace

unsigned change_points(Doubles x, std::vector<double>& out) {
    out.clear();
    clear_flags();
    if (x.stride == sizeof(double)) {
        collect_changes<true>(x, out);
    } else {
        collect_changes<false>(x, out);
    }
    return raised_flags(0.0);
}

}  // namespace ombrix::kernels
