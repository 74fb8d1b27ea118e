#include "resegment.hpp"


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

}  // namespace ombrix
