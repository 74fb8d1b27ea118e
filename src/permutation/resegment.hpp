// The random re-segmentation shared by the two permutation backgrounds: the
// cut positions and the segments between them.
#pragma once

#include "../array_ops/array_ops.hpp"
#include "../array_ops/segments.hpp"
#include "../capi/failures.hpp"
#include "../capi/python_code.hpp"
#include "../draws/global_generator.hpp"

namespace ombrix {

// Source lines of the cut-position statements in the calling function.
struct CutLines {
    int normalise;
    int cut_positions;
    int drop_zero;
    int drop_end;
    int add_bounds;
};

// weights /= np.sum(weights); cut = np.cumsum(np.round(weights * scale));
// cut = cut[cut != 0]; cut = cut[cut != end] (or cut < end);
// cut = np.concatenate(([0], cut, [end])). Empty, with the traceback entry
// of the failing statement, on failure.
std::optional<CutPositions> cut_positions(ArrayOps& ops, TypedFloatArray& weights, int scale, Py_ssize_t end,
                                          EndFilter filter, const Traceback& trace, const CutLines& lines);

// np.random.exponential(scale, size=count) drawn natively into a reused
// array (scratch_array) where the native replica makes it now, `drawn` then
// set; else nothing drawn, for NumPy's call. False with MemoryError pending.
bool draw_native_weights(GlobalGenerator& draws, double scale, long long count, TypedFloatArray& weights,
                         bool& drawn);

// Checks for a pending signal every 1024 segments, so that a call with a huge
// draw stops on Ctrl-C whatever its segments cost; true with the exception
// (KeyboardInterrupt) set when a handler raised.
inline bool interrupted_at_segment(int j) { return (j & 1023) == 1023 && check_signals() < 0; }

}  // namespace ombrix
