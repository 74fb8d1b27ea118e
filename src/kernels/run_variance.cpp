// variance() of a run-length sequence without writing it out: NumPy's
// pairwise order over the runs, a block of eight accumulators lane by lane.
#include "float64.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <vector>

#include "float64_detail.hpp"
#include "vector_clones.hpp"

namespace ombrix::kernels {

using detail::exact_integer_sum;
using detail::flagged;
using detail::kBlock;

namespace {

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
    // e added to each lane `times` times over: straight-line additions
    // entered part-way, since a block holds at most sixteen groups
    void add(double e, std::ptrdiff_t times) {
        Half v = {e, e, e, e};
        for (; times > 16; --times) {
            low += v;
            high += v;
        }
        switch (times) {
            case 16:
                low += v;
                high += v;
                [[fallthrough]];
            case 15:
                low += v;
                high += v;
                [[fallthrough]];
            case 14:
                low += v;
                high += v;
                [[fallthrough]];
            case 13:
                low += v;
                high += v;
                [[fallthrough]];
            case 12:
                low += v;
                high += v;
                [[fallthrough]];
            case 11:
                low += v;
                high += v;
                [[fallthrough]];
            case 10:
                low += v;
                high += v;
                [[fallthrough]];
            case 9:
                low += v;
                high += v;
                [[fallthrough]];
            case 8:
                low += v;
                high += v;
                [[fallthrough]];
            case 7:
                low += v;
                high += v;
                [[fallthrough]];
            case 6:
                low += v;
                high += v;
                [[fallthrough]];
            case 5:
                low += v;
                high += v;
                [[fallthrough]];
            case 4:
                low += v;
                high += v;
                [[fallthrough]];
            case 3:
                low += v;
                high += v;
                [[fallthrough]];
            case 2:
                low += v;
                high += v;
                [[fallthrough]];
            case 1:
                low += v;
                high += v;
                [[fallthrough]];
            default:
                break;
        }
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

// r + e + e + ..., `times` additions in order: straight-line for the few
// that a block makes.
[[gnu::always_inline]] inline double added(double r, double e, std::ptrdiff_t times) {
    for (; times > 16; --times) r += e;
    switch (times) {
        case 16:
            r += e;
            [[fallthrough]];
        case 15:
            r += e;
            [[fallthrough]];
        case 14:
            r += e;
            [[fallthrough]];
        case 13:
            r += e;
            [[fallthrough]];
        case 12:
            r += e;
            [[fallthrough]];
        case 11:
            r += e;
            [[fallthrough]];
        case 10:
            r += e;
            [[fallthrough]];
        case 9:
            r += e;
            [[fallthrough]];
        case 8:
            r += e;
            [[fallthrough]];
        case 7:
            r += e;
            [[fallthrough]];
        case 6:
            r += e;
            [[fallthrough]];
        case 5:
            r += e;
            [[fallthrough]];
        case 4:
            r += e;
            [[fallthrough]];
        case 3:
            r += e;
            [[fallthrough]];
        case 2:
            r += e;
            [[fallthrough]];
        case 1:
            r += e;
            [[fallthrough]];
        default:
            break;
    }
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

}  // namespace

namespace detail {

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

}  // namespace detail

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

}  // namespace ombrix::kernels
