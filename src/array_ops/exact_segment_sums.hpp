// The running sums of the profile that a loop of backgrounds cuts into
// segments again and again: where its values are integers whose sum no
// order of additions can round, each segment's mean comes from two running
// sums and at most 14 elements (kernels::exact_stretch_mean), NumPy's bits
// without a pass over the segment.
#pragma once

#include <vector>

#include "../capi/views.hpp"

namespace ombrix {

// The running sums of `profile` (kernels::exact_block_sums), or null where
// its means must be summed element by element. They are made the second
// time the same profile is asked for while no Python code has run (a single
// background reads the profile once anyway). Python code may write to the
// profile, so once it may have run (a loop's check for signals), the sums
// serve again only after the profile's values are found the same as those
// they were made from. Profiles longer than kLongestSummedProfile are always
// summed element by element: their sums and values would be kept after the
// call.
const std::vector<double>* exact_segment_sums(const FloatVector& profile);

inline constexpr Py_ssize_t kLongestSummedProfile = Py_ssize_t{1} << 20;

}  // namespace ombrix
