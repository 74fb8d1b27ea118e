// The random re-segmentation shared by the two permutation backgrounds:
// weights turned into cut positions, and the segments between them.
#pragma once

#include "../module/typed_array.hpp"

namespace ombrix {

// Source lines of the cut-position steps in the calling function.
struct CutLines {
    int normalise;
    int cut_positions;
    int drop_zero;
    int drop_end;
    int add_bounds;
};

// How positions near the end are dropped: those equal to the end
// (permutation_bg), or those at or beyond it (perm_cnv_pyx).
enum class EndFilter { DropEqual, DropAtOrAbove };

// weights /= np.sum(weights); cut = np.cumsum(np.round(weights * scale));
// cut = cut[cut != 0]; cut = cut[cut != end] (or cut < end);
// cut = np.concatenate(([0], cut, [end])).
// Returns 0 on success, otherwise the line of the step that raised.
int make_cut_positions(TypedFloatArray& weights, int scale, Py_ssize_t end, EndFilter filter,
                       const CutLines& lines, TypedFloatArray& cut);

// data[start:end] under the interpreter's slice rules (negative bounds count
// from the end, both are clamped to the length); a None view stays None.
FloatVector clamped_segment(const FloatVector& data, Py_ssize_t start, Py_ssize_t end);

// np.random.<name>(*args), the trailing args being keyword values for
// `kwnames` when given.
Ref random_call(PyObject* name, std::initializer_list<PyObject*> args, PyObject* kwnames = nullptr);

}  // namespace ombrix

namespace ombrix {

// A cut position truncated toward zero into a signed 32-bit integer; false
// when it has no such value (NaN, infinite or out of range).
inline bool cut_to_int(double position, int& out) {
    if (!(position > -2147483649.0 && position < 2147483648.0)) return false;
    out = static_cast<int>(position);
    return true;
}

}  // namespace ombrix
