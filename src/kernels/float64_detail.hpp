// What the float64 kernels' sources share; not the kernels' interface.
#pragma once

#include <cstddef>

#include "float64.hpp"

namespace ombrix::kernels::detail {

// NumPy's pairwise summation adds blocks of up to this many elements with
// eight accumulators, and halves longer ranges.
constexpr std::ptrdiff_t kBlock = 128;

void clear_flags();
// The flags raised since clear_flags(); `barrier`, the last result, is
// made before they are read.
unsigned raised_flags(double barrier);

// Runs `compute` with the flags cleared before and read after.
template <class Compute>
Result flagged(Compute&& compute) {
    clear_flags();
    double value = compute();
    return {value, raised_flags(value)};
}

// The sum of the runs' values where it is exact in any order: integers whose
// absolute values add up to less than 2^53, so that every partial sum is an
// integer that a double holds and no addition rounds or raises a flag. Then
// NumPy's pairwise sum, added to 0.0, is this sum (+0.0 where it is zero).
bool exact_integer_sum(const Run* runs, std::ptrdiff_t count, double& sum);

}  // namespace ombrix::kernels::detail
