// The array operations that the scores and the permutation backgrounds are
// written over. Each algorithm is written once, over this interface; its
// two implementations are NumpyOps, which makes every NumPy call through
// the module global `np` as the statements of the algorithm do, and
// NativeOps, which computes the same bits natively and hands an operation
// to NumpyOps wherever NumPy would warn or raise (a floating-point flag that
// the caller's error state reports, the mean of an empty segment).
//
// An operation returns false with the exception pending on failure; the
// caller adds the traceback entry of its statement.
#pragma once

#include "../module/typed_array.hpp"

namespace ombrix {

// How cut positions near the end are dropped: those equal to the end
// (permutation_bg), or those at or beyond it (perm_cnv_pyx).
enum class EndFilter { DropEqual, DropAtOrAbove };

// Source lines of the cut-position statements in the calling function.
struct CutLines {
    int normalise;
    int cut_positions;
    int drop_zero;
    int drop_end;
    int add_bounds;
};

class ArrayOps {
public:
    virtual ~ArrayOps() = default;

    // np.mean(v), np.std(v, ddof=0) and np.var(v) of a view object over v.
    virtual bool mean(const FloatVector& v, double& out) = 0;
    virtual bool std(const FloatVector& v, double& out) = 0;
    virtual bool var(const FloatVector& v, double& out) = 0;

    // The segment table of a profile: change points, np.zeros((r, 3)) and
    // its start, end and length columns; returns the step that failed.
    enum class TableStep { done, change_points, table, start_column, end_column, length_column };
    virtual TableStep segment_table(const FloatVector& profile) = 0;
    virtual Py_ssize_t table_rows() = 0;
    // r / np.sum(table[:, 2]) as a double.
    virtual bool rows_over_total_length(double& out) = 0;
    // table[:, 2] as a view.
    virtual bool table_lengths(FloatVector& out) = 0;
    // table.tolist()
    virtual Ref table_list() = 0;

    // np.where(np.diff(profile) != 0)[0].astype("double")
    virtual bool change_points_as_double(const FloatVector& profile) = 0;
    virtual Py_ssize_t change_point_count() = 0;
    // np.abs(np.diff(change_points)), then bound as a view.
    virtual bool gaps() = 0;
    virtual bool gap_view(FloatVector& out) = 0;

    // weights /= np.sum(weights); cut = np.cumsum(np.round(weights * scale));
    // cut = cut[cut != 0]; cut = cut[cut != end] (or cut < end);
    // cut = np.concatenate(([0], cut, [end])). Returns 0 or the failing line.
    virtual int cut_positions(TypedFloatArray& weights, int scale, Py_ssize_t end,
                              EndFilter filter, const CutLines& lines) = 0;
    // len(cut), or -1 with the exception pending.
    virtual Py_ssize_t cut_count() = 0;
    virtual double cut_at(Py_ssize_t j) = 0;

    // pieces = []
    virtual bool begin_pieces() = 0;
    // float(np.round(np.mean(segment))), np.round fetched first.
    virtual bool rounded_mean(const FloatVector& segment, double& out) = 0;
    // pieces.append(np.repeat(value, length))
    virtual bool add_piece(double value, int length) = 0;
    // pieces.append(np.repeat(np.mean(segment), length)), np.repeat fetched first.
    virtual bool mean_piece(const FloatVector& segment, int length) = 0;
    // np.var(np.concatenate(pieces)), np.var fetched first.
    virtual bool pieces_variance(double& out) = 0;
    // np.concatenate(pieces), bound as a view.
    virtual bool smoothed_profile(FloatVector& out) = 0;

    // Python code may have run outside the operations (a NumPy call, with
    // its warnings and error callbacks): the native backend asks the gate
    // again before its next operation, and where the gate has closed, the
    // rest of the unit is made with NumPy's calls. False with the exception
    // pending.
    virtual bool after_python_code() { return true; }
};

}  // namespace ombrix
