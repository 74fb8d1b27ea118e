// Sums of a profile's stretches where no order of additions can round them:
// the profiles that the backgrounds cut over and over are copy states,
// integers, so every partial sum of NumPy's pairwise summation is an integer
// that a double holds, and a stretch's sum is the same in any order: the
// difference of two running sums, taken every eight elements, and the few
// elements at either end.
#pragma once

#include <cstddef>
#include <cstring>
#include <vector>

#include "float64.hpp"

namespace ombrix::kernels {

inline constexpr std::ptrdiff_t kSummedBlock = 8;
// A stretch shorter than this is summed as quickly element by element as
// from the running sums and up to 14 elements at its ends.
inline constexpr std::ptrdiff_t kShortestSummedStretch = 16;

// sums[k] = x[0] + ... + x[8k - 1] (k = 0 .. n / 8) where every element of x
// is an integer (-0.0 included) and their absolute values add up to less
// than 2^53; false otherwise (sums then unspecified). Raises no flag that
// NumPy reports, whatever x holds.
bool exact_block_sums(Doubles x, std::vector<double>& sums);

// NumPy's mean of x[low .. high) (high > low) for such an x and its sums:
// the exact sum (+0.0 where it is zero, as NumPy's reduction from 0.0
// gives), over n.
inline double exact_stretch_mean(Doubles x, const std::vector<double>& sums, std::ptrdiff_t low,
                                 std::ptrdiff_t high) {
    auto element = [&](std::ptrdiff_t i) {
        double v;
        std::memcpy(&v, x.base + i * x.stride, sizeof v);
        return v;
    };
    std::ptrdiff_t first_block = low / kSummedBlock, last_block = high / kSummedBlock;
    // every step is a sum of a stretch of x: exact, and never -0.0 from +0.0
    double total = sums[static_cast<size_t>(last_block)] - sums[static_cast<size_t>(first_block)];
    for (std::ptrdiff_t i = first_block * kSummedBlock; i < low; ++i) total -= element(i);
    for (std::ptrdiff_t i = last_block * kSummedBlock; i < high; ++i) total += element(i);
    return total / static_cast<double>(high - low);
}

}  // namespace ombrix::kernels
