#include "resegment.hpp"


namespace ombrix {

FloatVector clamped_segment(const FloatVector& data, Py_ssize_t start, Py_ssize_t end) {
    if (data.is_none()) return {};
    Py_ssize_t length = data.length;
    auto clamp = [length](Py_ssize_t index) {
        if (index < 0) index += length;
        if (index < 0) return Py_ssize_t{0};
        return index > length ? length : index;
    };
    start = clamp(start);
    end = clamp(end);
    return subview(data, start, end > start ? end : start);
}

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
