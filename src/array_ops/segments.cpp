#include "segments.hpp"

namespace ombrix {

FloatVector clamped_segment(const FloatVector& data, Py_ssize_t start, Py_ssize_t end) {
    if (data.is_none()) return {};
    start = clamped_index(start, data.length);
    end = clamped_index(end, data.length);
    return subview(data, start, end > start ? end : start);
}

}  // namespace ombrix
