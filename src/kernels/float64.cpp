#include "float64.hpp"

#include <cfenv>
#include <cfloat>
#include <cmath>
#include <algorithm>
#include <cstring>

#include "vector_clones.hpp"

#if defined(__x86_64__) || defined(__SSE2__)
#include <immintrin.h>
#define OMBRIX_SSE_FLAGS 1
#endif

namespace ombrix::kernels {

namespace {

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

constexpr std::ptrdiff_t kBlock = 128;

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

// Runs `compute` with the flags cleared before and read after.
template <class Compute>
Result flagged(Compute&& compute) {
    clear_flags();
    double value = compute();
    return {value, raised_flags(value)};
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

namespace {

// NumPy's eight accumulators side by side, each adding as the element-wise
// code adds: two 4-lane vectors where the compiler has them (lane-wise
// additions, neither contracted nor reordered), else eight doubles.
struct Lanes {
#if defined(__GNUC__)
    typedef double Half __attribute__((vector_size(4 * sizeof(double))));
    Half low, high;
    void set(const double* x) {
        std::memcpy(&low, x, sizeof low);
        std::memcpy(&high, x + 4, sizeof high);
    }
    void set(double e) { low = high = Half{e, e, e, e}; }
    void add(const double* x) {
        Half u, v;
        std::memcpy(&u, x, sizeof u);
        std::memcpy(&v, x + 4, sizeof v);
        low += u;
        high += v;
    }
    // e added to each lane `times` times over
    void add(double e, std::ptrdiff_t times) {
        Half v = {e, e, e, e};
        std::ptrdiff_t t = 0;
        for (; t + 2 <= times; t += 2) {  // two at a time: the additions, not the loop, count
            low += v;
            high += v;
            low += v;
            high += v;
        }
        if (t < times) {
            low += v;
            high += v;
        }
    }
    double total() const {
        return ((low[0] + low[1]) + (low[2] + low[3])) + ((high[0] + high[1]) + (high[2] + high[3]));
    }
#else
    double r[8];
    void set(const double* x) { std::copy_n(x, 8, r); }
    void set(double e) { std::fill_n(r, 8, e); }
    void add(const double* x) {
        for (int j = 0; j < 8; ++j) r[j] += x[j];
    }
    void add(double e, std::ptrdiff_t times) {
        for (std::ptrdiff_t t = 0; t < times; ++t) {
            for (int j = 0; j < 8; ++j) r[j] += e;
        }
    }
    double total() const { return ((r[0] + r[1]) + (r[2] + r[3])) + ((r[4] + r[5]) + (r[6] + r[7])); }
#endif
};

// One pass over the elements of a run-length sequence: each run's element
// (its value, or its squared deviation), made once, and the position where
// it ends. Runs of no elements are left out: NumPy makes no arithmetic of
// theirs. Positions are asked for in increasing order.
class RunPass {
public:
    template <class Element>
    RunPass(const Run* runs, std::ptrdiff_t count, Element element) {
        if (count > kInline) {
            spilled_elements_.resize(static_cast<size_t>(count));
            spilled_ends_.resize(static_cast<size_t>(count));
            elements_ = spilled_elements_.data();
            ends_ = spilled_ends_.data();
        }
        std::ptrdiff_t end = 0;
        for (std::ptrdiff_t k = 0; k < count; ++k) {
            if (runs[k].length == 0) continue;
            end += runs[k].length;
            elements_[used_] = element(runs[k].value);
            ends_[used_] = end;
            ++used_;
        }
    }

    RunPass(const RunPass&) = delete;  // it points into itself
    RunPass& operator=(const RunPass&) = delete;

    // The element at i.
    double operator()(std::ptrdiff_t i) {
        while (ends_[k_] <= i) ++k_;
        return elements_[k_];
    }

    // The element when [lo, lo + n) lies inside one run.
    bool constant(std::ptrdiff_t lo, std::ptrdiff_t n, double& element) {
        while (ends_[k_] <= lo) ++k_;
        element = elements_[k_];
        return lo + n <= ends_[k_];
    }

    // pairwise()'s block [lo, lo + n), 8 <= n <= kBlock, lane by lane in its
    // order: a group of eight inside one run adds the run's element to each
    // accumulator, with no element written or read; a group across runs adds
    // its eight elements.
    OMBRIX_VECTOR_CLONES double block(std::ptrdiff_t lo, std::ptrdiff_t n) {
        const double* elements = elements_;
        const std::ptrdiff_t* ends = ends_;
        std::ptrdiff_t k = k_;
        const std::ptrdiff_t stop = lo + (n - n % 8), last = lo + n;
        double group[8];
        Lanes r;
        while (ends[k] <= lo) ++k;
        std::ptrdiff_t at = lo;
        if (ends[k] - lo >= 8) {
            r.set(elements[k]);
        } else {
            k = gather(elements, ends, k, lo, group);
            r.set(group);
        }
        at += 8;
        while (at < stop) {
            while (ends[k] <= at) ++k;
            std::ptrdiff_t end = ends[k] < stop ? ends[k] : stop;
            std::ptrdiff_t groups = (end - at) >> 3;
            r.add(elements[k], groups);
            at += groups << 3;
            if (at < stop && ends[k] < at + 8) {  // a group across runs
                k = gather(elements, ends, k, at, group);
                r.add(group);
                at += 8;
            }
        }
        double res = r.total();
        for (; at < last; ++at) {
            while (ends[k] <= at) ++k;
            res += elements[k];
        }
        k_ = k;
        return res;
    }

    void rewind() { k_ = 0; }

private:
    // The eight elements from at, run by run from run k (ends[k] > at); the
    // run of the last.
    static std::ptrdiff_t gather(const double* elements, const std::ptrdiff_t* ends, std::ptrdiff_t k,
                                 std::ptrdiff_t at, double* group) {
        std::ptrdiff_t first = ends[k] - at;  // lanes of run k
        if (ends[k + 1] - at >= 8) {  // the common case: two runs
            double e = elements[k], next = elements[k + 1];
            for (std::ptrdiff_t j = 0; j < 8; ++j) group[j] = j < first ? e : next;
            return k + 1;
        }
        std::ptrdiff_t j = 0;
        while (true) {
            std::ptrdiff_t upto = ends[k] - at < 8 ? ends[k] - at : 8;
            for (; j < upto; ++j) group[j] = elements[k];
            if (j == 8) return k;
            ++k;
        }
    }

    static constexpr std::ptrdiff_t kInline = 64;
    double inline_elements_[kInline];
    std::ptrdiff_t inline_ends_[kInline];
    std::vector<double> spilled_elements_;
    std::vector<std::ptrdiff_t> spilled_ends_;
    double* elements_ = inline_elements_;
    std::ptrdiff_t* ends_ = inline_ends_;
    std::ptrdiff_t used_ = 0;
    std::ptrdiff_t k_ = 0;
};

// pairwise() of n copies of one value e: it depends on e and n alone, so
// each size met in the recursion is computed once (the sizes at one depth
// differ by a block at most, so there are few of them).
class ConstantSums {
public:
    double operator()(double e, std::ptrdiff_t n) {
        if (e_set_ && std::memcmp(&e, &e_, sizeof e) != 0) count_ = 0;
        e_ = e;
        e_set_ = true;
        return sum(n);
    }

private:
    double sum(std::ptrdiff_t n) {
        for (int k = 0; k < count_; ++k) {
            if (sizes_[k] == n) return sums_[k];
        }
        double res;
        if (n < 8) {
            res = 0.;
            for (std::ptrdiff_t i = 0; i < n; ++i) res += e_;
        } else if (n <= kBlock) {
            // eight accumulators adding e over and over: all equal
            std::ptrdiff_t whole = n - (n % 8);
            double r = e_;
            for (std::ptrdiff_t i = 8; i < whole; i += 8) r += e_;
            res = ((r + r) + (r + r)) + ((r + r) + (r + r));
            for (std::ptrdiff_t i = whole; i < n; ++i) res += e_;
        } else {
            std::ptrdiff_t n2 = n / 2;
            n2 -= n2 % 8;
            double left = sum(n2);
            res = left + sum(n - n2);
        }
        if (count_ < kRemembered) {
            sizes_[count_] = n;
            sums_[count_] = res;
            ++count_;
        }
        return res;
    }

    static constexpr int kRemembered = 64;
    double e_ = 0.0;
    bool e_set_ = false;
    int count_ = 0;  // the entries below that hold sums
    std::ptrdiff_t sizes_[kRemembered];
    double sums_[kRemembered];
};

// pairwise() over a run-length sequence, operation for operation: a range
// inside one run by its constant sum, a block across runs lane by lane.
template <class Source>
double pairwise_runs(Source& a, ConstantSums& constant_sums, std::ptrdiff_t lo, std::ptrdiff_t n) {
    double e = 0.0;
    if (n >= 8 && a.constant(lo, n, e)) return constant_sums(e, n);
    if (n < 8) {
        double res = 0.;
        for (std::ptrdiff_t i = 0; i < n; ++i) res += a(lo + i);
        return res;
    }
    if (n <= kBlock) return a.block(lo, n);
    std::ptrdiff_t n2 = n / 2;
    n2 -= n2 % 8;
    double left = pairwise_runs(a, constant_sums, lo, n2);
    return left + pairwise_runs(a, constant_sums, lo + n2, n - n2);
}

template <class Source>
double reduce_add_runs(Source& a, std::ptrdiff_t n, std::ptrdiff_t chunk) {
    a.rewind();
    ConstantSums constant_sums;
    double total = 0.0;
    for (std::ptrdiff_t start = 0; start < n; start += chunk) {
        std::ptrdiff_t count = n - start < chunk ? n - start : chunk;
        total += pairwise_runs(a, constant_sums, start, count);
    }
    return total;
}

// The sum of the runs' values where it is exact in any order: integers whose
// absolute values add up to less than 2^53, so that every partial sum is an
// integer that a double holds and no addition rounds or raises a flag. Then
// NumPy's pairwise sum, added to 0.0, is this sum (+0.0 where it is zero).
bool exact_integer_sum(const Run* runs, std::ptrdiff_t count, double& sum) {
    constexpr double kExactBelow = 9007199254740992.0;  // 2^53
    double total = 0.0, magnitude = 0.0;
    for (std::ptrdiff_t k = 0; k < count; ++k) {
        double v = runs[k].value;
        // isfinite first: an ordered comparison with a NaN raises the invalid flag
        if (!std::isfinite(v) || std::fabs(v) >= kExactBelow || v != std::rint(v)) return false;
        // a total at or past 2^53 stays there however it rounds: refused
        magnitude += std::fabs(v) * static_cast<double>(runs[k].length);
        if (magnitude >= kExactBelow) return false;
        total += v * static_cast<double>(runs[k].length);
    }
    sum = total;
    return true;
}

}  // namespace

Result variance_with_runs(Doubles x, const Run* runs, std::ptrdiff_t count, std::ptrdiff_t chunk) {
    return flagged([&] {
        double total = 0.0;
        if (!exact_integer_sum(runs, count, total)) total = plain_sum(x, chunk);
        double n = static_cast<double>(x.length);
        double mean = total / n;
        double squares = x.stride == sizeof(double)
                             ? reduce_add(SquaredDeviations<true>{x, mean}, x.length, chunk)
                             : reduce_add(SquaredDeviations<false>{x, mean}, x.length, chunk);
        return squares / n;
    });
}

Result variance_of_runs(const Run* runs, std::ptrdiff_t count, std::ptrdiff_t chunk) {
    std::ptrdiff_t n = 0;
    for (std::ptrdiff_t k = 0; k < count; ++k) n += runs[k].length;
    return flagged([&] {
        double total = 0.0;
        if (!exact_integer_sum(runs, count, total)) {
            RunPass values(runs, count, [](double v) { return v; });
            total = reduce_add_runs(values, n, chunk);
        }
        double mean = total / static_cast<double>(n);
        RunPass squares(runs, count, [mean](double v) {
            double d = v - mean;
            return d * d;
        });
        return reduce_add_runs(squares, n, chunk) / static_cast<double>(n);
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

unsigned rounded_running_sum(Doubles x, double scale, std::vector<double>& out) {
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
