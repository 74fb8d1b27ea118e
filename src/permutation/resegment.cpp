#include "resegment.hpp"

#include "../array_ops/scratch_arrays.hpp"


namespace ombrix {

std::optional<CutPositions> cut_positions(ArrayOps& ops, TypedFloatArray& weights, int scale, Py_ssize_t end,
                                          EndFilter filter, const Traceback& trace, const CutLines& lines) {
    if (!ops.normalise(weights)) return trace.at(lines.normalise);
    std::optional<CutPositions> cut = ops.rounded_running_sum(weights, scale);
    if (!cut) return trace.at(lines.cut_positions);
    if (!ops.drop_zeros(*cut)) return trace.at(lines.drop_zero);
    if (!ops.drop_end(*cut, end, filter)) return trace.at(lines.drop_end);
    if (!ops.add_bounds(*cut, end)) return trace.at(lines.add_bounds);
    return cut;
}

bool draw_native_weights(GlobalGenerator& draws, double scale, long long count, TypedFloatArray& weights,
                         bool& drawn) {
    drawn = false;
    if (!draws.native_exponentials(scale, count)) return true;
    if (!scratch_array(static_cast<Py_ssize_t>(count), weights)) return false;
    draws.draw_exponentials(scale, count, reinterpret_cast<double*>(const_cast<char*>(weights.view.base)));
    drawn = true;
    return true;
}

}  // namespace ombrix
