// NumPy's float64 results computed natively, bit for bit, with no Python:
// add.reduce is pairwise summation (8 accumulators, 128-element blocks) over
// chunks of `chunk` elements (the ufunc buffer size up to NumPy 2.2, the
// whole array from 2.3 on), added to 0.0 one chunk after the other;
// mean = sum / n; var = the same sum of the squared deviations from that
// mean, over n; std = sqrt(var); round = rint; cumsum runs in order.
//
// Every kernel also reports the floating-point flags its arithmetic raised,
// so that a caller can hand the operation to NumPy whenever NumPy would warn
// or raise under the caller's error state.
#pragma once

#include <cstddef>
#include <vector>

namespace ombrix::kernels {

// The flags NumPy reports, as bits.
enum FpFlag : unsigned {
    kDivideByZero = 1u,
    kOverflow = 2u,
    kUnderflow = 4u,
    kInvalid = 8u,
    // Not a flag: the operation is one whose warnings differ between NumPy
    // releases, so NumPy itself must make it.
    kHandOver = 16u,
};

// A 1-D run of doubles read through a byte stride.
struct Doubles {
    const char* base;
    std::ptrdiff_t length;
    std::ptrdiff_t stride;
};

struct Result {
    double value;
    unsigned flags;
};

// A stretch of `length` equal values.
struct Run {
    double value;
    std::ptrdiff_t length;
};

Result sum(Doubles x, std::ptrdiff_t chunk);
// n > 0: NumPy warns without a flag for an empty mean.
Result mean(Doubles x, std::ptrdiff_t chunk);
// mean() without its own flag window, for a caller that reads the flags
// of many at once (clear_fp_flags, current_flags).
double mean_value(Doubles x, std::ptrdiff_t chunk);
Result variance(Doubles x, std::ptrdiff_t chunk);
Result standard_deviation(Doubles x, std::ptrdiff_t chunk);

// variance() of the sequence the runs spell out, with the same bits and
// flags, in O(runs + n / 8): a 128-element block of NumPy's pairwise
// summation that lies inside one run adds one value over and over, the same
// sequence of additions in each of its eight accumulators, so one
// accumulator is computed and the others are equal to it. Every distinct
// operation is still made, so the flags are the same. The sum of integer
// values that no order of additions can round is made in O(runs). The runs
// hold at least one value.
Result variance_of_runs(const Run* runs, std::ptrdiff_t count, std::ptrdiff_t chunk);

// variance() of x (n > 0), whose elements the runs spell out: the mean from
// the runs where their sum is exact in any order (as in variance_of_runs),
// the squared deviations element by element.
Result variance_with_runs(Doubles x, const Run* runs, std::ptrdiff_t count, std::ptrdiff_t chunk);

// out[0 .. count) = value: a run of the smoothed profile written out.
void fill(double* out, std::ptrdiff_t count, double value);

// out = x / divisor, element by element. A subnormal divisor asks for
// kHandOver: some NumPy releases report overflow when their array division
// meets one.
unsigned divide(Doubles x, double divisor, std::vector<double>& out);

// out = cumsum(rint(x * scale)).
unsigned rounded_running_sum(Doubles x, double scale, std::vector<double>& out);

// For arithmetic of a caller's own that stands for NumPy's: clears the
// flags, and reads those raised since.
void clear_fp_flags();
unsigned current_flags();

// 1 / (1 + e) as NumPy's float64 scalar arithmetic forms it.
Result logistic(double e);

// Indices i < n - 1 with x[i + 1] - x[i] != 0 (NaN counts), as doubles.
unsigned change_points(Doubles x, std::vector<double>& out);

}  // namespace ombrix::kernels
