// The change points of a profile, as NumPy computes them for the scores:
// np.where(np.diff(profile) != 0)[0].
#pragma once

#include "../module/views.hpp"

namespace ombrix {

// Returns NumPy's index array (new reference), or nullptr with the
// exception pending. np.where is fetched before np.diff.
Ref find_change_points(const FloatVector& profile);

}  // namespace ombrix
