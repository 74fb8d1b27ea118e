#include "float64.hpp"

#include <cfenv>
#include <cfloat>
#include <cmath>
#include <algorithm>
#include <bit>
#include <cstdint>
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

// step() `times` times over: straight-line calls entered part-way for the
// few that a block makes (sixteen groups at most), which cost less than a
// loop's count and test each.
template <class Step>
[[gnu::always_inline]] inline void repeat(std::ptrdiff_t times, Step&& step) {
    for (; times > 16; --times) step();
    switch (times) {
        case 16:
            step();
            [[fallthrough]];
        case 15:
            step();
            [[fallthrough]];
        case 14:
            step();
            [[fallthrough]];
        case 13:
            step();
            [[fallthrough]];
        case 12:
            step();
            [[fallthrough]];
        case 11:
            step();
            [[fallthrough]];
        case 10:
            step();
            [[fallthrough]];
        case 9:
            step();
            [[fallthrough]];
        case 8:
            step();
            [[fallthrough]];
        case 7:
            step();
            [[fallthrough]];
        case 6:
            step();
            [[fallthrough]];
        case 5:
            step();
            [[fallthrough]];
        case 4:
            step();
            [[fallthrough]];
        case 3:
            step();
            [[fallthrough]];
        case 2:
            step();
            [[fallthrough]];
        case 1:
            step();
            [[fallthrough]];
        default:
            break;
    }
}

// NumPy's eight accumulators side by side, each adding as the element-wise
// code adds: two 4-lane vectors where the compiler has them (lane-wise
// additions, neither contracted nor reordered), else eight doubles.
struct Lanes {
#if defined(__GNUC__)
    typedef double Half __attribute__((vector_size(4 * sizeof(double))));
    typedef long long Index __attribute__((vector_size(4 * sizeof(long long))));
    Half low, high;
    void set(const double* x) {
        std::memcpy(&low, x, sizeof low);
        std::memcpy(&high, x + 4, sizeof high);
    }
    void set(double e) {
        low = Half{e, e, e, e};
        high = low;
    }
    // lanes below `first` from a, the others from b: a selection, no arithmetic
    void set(double a, double b, std::ptrdiff_t first) { select(a, b, first, low, high); }
    void add(const double* x) {
        Half u, v;
        std::memcpy(&u, x, sizeof u);
        std::memcpy(&v, x + 4, sizeof v);
        low += u;
        high += v;
    }
    void add(double a, double b, std::ptrdiff_t first) {
        Half u, v;
        select(a, b, first, u, v);
        low += u;
        high += v;
    }
    // e added to each lane `times` times over
    void add(double e, std::ptrdiff_t times) {
        Half v = {e, e, e, e};
        repeat(times, [&] {
            low += v;
            high += v;
        });
    }
    double total() const {
        return ((low[0] + low[1]) + (low[2] + low[3])) + ((high[0] + high[1]) + (high[2] + high[3]));
    }

private:
    static void select(double a, double b, std::ptrdiff_t first, Half& u, Half& v) {
        const Index lower = {0, 1, 2, 3}, upper = {4, 5, 6, 7};
        const Half va = {a, a, a, a}, vb = {b, b, b, b};
        long long f = first;
        u = lower < f ? va : vb;
        v = upper < f ? va : vb;
    }
#else
    double r[8];
    void set(const double* x) { std::copy_n(x, 8, r); }
    void set(double e) { std::fill_n(r, 8, e); }
    void set(double a, double b, std::ptrdiff_t first) {
        for (int j = 0; j < 8; ++j) r[j] = j < first ? a : b;
    }
    void add(const double* x) {
        for (int j = 0; j < 8; ++j) r[j] += x[j];
    }
    void add(double a, double b, std::ptrdiff_t first) {
        for (int j = 0; j < 8; ++j) r[j] += j < first ? a : b;
    }
    void add(double e, std::ptrdiff_t times) {
        for (std::ptrdiff_t t = 0; t < times; ++t) {
            for (int j = 0; j < 8; ++j) r[j] += e;
        }
    }
    double total() const { return ((r[0] + r[1]) + (r[2] + r[3])) + ((r[4] + r[5]) + (r[6] + r[7])); }
#endif
};

// r + e + e + ..., `times` additions in order.
[[gnu::always_inline]] inline double added(double r, double e, std::ptrdiff_t times) {
    repeat(times, [&] { r += e; });
    return r;
}

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
            double r = added(e_, e_, n / 8 - 1);
            res = added(((r + r) + (r + r)) + ((r + r) + (r + r)), e_, n % 8);
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

// The passes over the elements of a run-length sequence: each run's
// element (its value, or its squared deviation), made once for a pass, and
// the position where it ends. Runs of no elements are left out: NumPy makes
// no arithmetic of theirs. Positions are asked for in increasing order.
class RunPass {
public:
    RunPass(const Run* runs, std::ptrdiff_t count) {
        if (count > kInline) {
            spilled_.resize(2 * static_cast<size_t>(count));
            spilled_ends_.resize(static_cast<size_t>(count));
            values_ = spilled_.data();
            own_elements_ = values_ + count;
            ends_ = spilled_ends_.data();
        }
        std::ptrdiff_t end = 0;
        for (std::ptrdiff_t k = 0; k < count; ++k) {
            if (runs[k].length == 0) continue;
            end += runs[k].length;
            values_[used_] = runs[k].value;
            ends_[used_++] = end;
        }
    }

    // The elements spelled out.
    std::ptrdiff_t size() const { return used_ > 0 ? ends_[used_ - 1] : 0; }

    // The pass over the runs' values, from the start.
    void take_values() {
        elements_ = values_;
        k_ = 0;
    }

    // The elements of the next pass, from the start.
    template <class Element>
    void take(Element element) {
        for (std::ptrdiff_t k = 0; k < used_; ++k) own_elements_[k] = element(values_[k]);
        elements_ = own_elements_;
        k_ = 0;
    }

    RunPass(const RunPass&) = delete;  // it points into itself
    RunPass& operator=(const RunPass&) = delete;

    // pairwise() of the elements [lo, lo + n), operation for operation: a
    // range inside one run by its constant sum, a block across runs lane by
    // lane. The recursion is walked with its path held here, which costs
    // less than a call per range: each level keeps its range and, once its
    // first half is done, that half's sum, which is added to the second's
    // as pairwise() adds.
    OMBRIX_VECTOR_CLONES double pairwise(ConstantSums& constant_sums, std::ptrdiff_t lo, std::ptrdiff_t n) {
        const double* elements = elements_;
        const std::ptrdiff_t* ends = ends_;
        std::ptrdiff_t k = k_;
        // the levels of the path, deepest last: each one's range, its first
        // half's length and, once that half is done, its sum; bit i of
        // `second` (from the deepest) is set in its second half
        std::ptrdiff_t starts[64], lengths[64], halves[64];  // ranges halve to a block: far fewer
        double firsts[64];
        std::uint64_t second = 0;
        int depth = 0;
        while (true) {
            while (ends[k] <= lo) ++k;
            // down the first halves, to a range that is summed whole
            while (n > kBlock && lo + n > ends[k]) {
                std::ptrdiff_t half = n / 2;
                half -= half % 8;
                starts[depth] = lo;
                lengths[depth] = n;
                halves[depth] = half;
                ++depth;
                second <<= 1;
                n = half;
            }
            double value = 0.0;
            if (n >= 8 && lo + n <= ends[k]) {
                value = constant_sums(elements[k], n);
            } else if (n < 8) {
                for (std::ptrdiff_t i = lo; i < lo + n; ++i) {
                    if (ends[k] <= i) ++k;
                    value += elements[k];
                }
            } else {
                value = block(elements, ends, k, lo, n);
            }
            // up through the levels whose second half this completes
            for (int done = std::countr_one(second); done > 0; --done) value = firsts[--depth] + value;
            if (depth == 0) {
                k_ = k;
                return value;
            }
            second = (second >> std::countr_one(second)) | 1;
            firsts[depth - 1] = value;
            lo = starts[depth - 1] + halves[depth - 1];
            n = lengths[depth - 1] - halves[depth - 1];
        }
    }

private:
    // pairwise()'s block [lo, lo + n), 8 <= n <= kBlock, lane by lane in its
    // order: a group of eight inside one run adds the run's element to each
    // accumulator, with no element written or read; a group across two runs
    // adds a selection of their two elements.
    // (ends[k] > lo; k becomes the run of its last element).
    [[gnu::always_inline]] static double block(const double* elements, const std::ptrdiff_t* ends, std::ptrdiff_t& k,
                                               std::ptrdiff_t lo, std::ptrdiff_t n) {
        const std::ptrdiff_t stop = lo + (n & ~std::ptrdiff_t{7}), last = lo + n;
        Lanes r{};
        if (ends[k] - lo >= 8) {
            r.set(elements[k]);
        } else {
            k = across(elements, ends, k, lo, r, false);
        }
        std::ptrdiff_t at = lo + 8;
        while (at < stop) {
            // every run holds an element, so one step reaches the run of `at`
            if (ends[k] <= at) ++k;
            std::ptrdiff_t end = ends[k] < stop ? ends[k] : stop;
            std::ptrdiff_t groups = (end - at) >> 3;
            r.add(elements[k], groups);
            at += groups << 3;
            if (at < stop && ends[k] < at + 8) {  // a group across runs
                k = across(elements, ends, k, at, r, true);
                at += 8;
            }
        }
        double res = r.total();
        for (; at < last; ++at) {
            if (ends[k] <= at) ++k;
            res += elements[k];
        }
        return res;
    }

    // The group of eight from `at`, which run k (ends[k] > at) does not
    // fill, set into r or added to it; the run of its last element.
    static std::ptrdiff_t across(const double* elements, const std::ptrdiff_t* ends, std::ptrdiff_t k,
                                 std::ptrdiff_t at, Lanes& r, bool add) {
        std::ptrdiff_t first = ends[k] - at;  // lanes of run k
        if (ends[k + 1] - at >= 8) {  // the common case: two runs
            if (add) {
                r.add(elements[k], elements[k + 1], first);
            } else {
                r.set(elements[k], elements[k + 1], first);
            }
            return k + 1;
        }
        double group[8];
        std::ptrdiff_t j = 0;
        while (true) {
            std::ptrdiff_t upto = ends[k] - at < 8 ? ends[k] - at : 8;
            for (; j < upto; ++j) group[j] = elements[k];
            if (j == 8) break;
            ++k;
        }
        if (add) {
            r.add(group);
        } else {
            r.set(group);
        }
        return k;
    }

    static constexpr std::ptrdiff_t kInline = 64;
    double inline_values_[kInline];
    double inline_elements_[kInline];
    std::ptrdiff_t inline_ends_[kInline];
    std::vector<double> spilled_;  // the values and elements of more runs
    std::vector<std::ptrdiff_t> spilled_ends_;
    double* values_ = inline_values_;
    double* own_elements_ = inline_elements_;
    const double* elements_ = inline_elements_;  // this pass's
    std::ptrdiff_t* ends_ = inline_ends_;
    std::ptrdiff_t used_ = 0;
    std::ptrdiff_t k_ = 0;
};


double reduce_add_runs(RunPass& pass, std::ptrdiff_t n, std::ptrdiff_t chunk) {
    ConstantSums constant_sums;
    double total = 0.0;
    for (std::ptrdiff_t start = 0; start < n; start += chunk) {
        std::ptrdiff_t count = n - start < chunk ? n - start : chunk;
        total += pass.pairwise(constant_sums, start, count);
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
    return flagged([&] {
        RunPass pass(runs, count);
        std::ptrdiff_t n = pass.size();
        double total = 0.0;
        if (!exact_integer_sum(runs, count, total)) {
            pass.take_values();
            total = reduce_add_runs(pass, n, chunk);
        }
        double mean = total / static_cast<double>(n);
        pass.take([mean](double v) {
            double d = v - mean;
            return d * d;
        });
        return reduce_add_runs(pass, n, chunk) / static_cast<double>(n);
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
