// The array operations that the scores and the permutation backgrounds are
// written over. Each algorithm is written once, over this interface; its two
// backends are NumpyCallBackend, which makes every NumPy call through the
// module global `np` as the statements of the algorithms do, and
// NativeBackend, which computes the same bits natively and hands an operation
// to NumPy wherever NumPy would warn or raise (a floating-point flag that the
// caller's error state reports, the mean of an empty segment).
//
// An operation makes one statement of an algorithm and returns what it made
// as a value, which later operations take. Failure is a false or empty result
// with the Python exception pending; the algorithm adds the traceback entry
// of its statement.
#pragma once

#include <optional>
#include <vector>

#include "../kernels/float64.hpp"
#include "../capi/typed_array.hpp"
#include "reused_vector.hpp"

namespace ombrix {

// The change points of a profile: NumPy's index array (and its float64 form)
// where NumPy's calls made them, the positions where the native backend did.
struct ChangePoints {
    TypedInt64Array indices;        // np.where(np.diff(profile) != 0)[0]
    TypedFloatArray as_double;      // indices.astype("double")
    ReusedVector<double> positions;  // native
    bool native = false;

    Py_ssize_t count() const {
        if (native) return static_cast<Py_ssize_t>(positions.size());
        return as_double.object ? as_double.view.length : indices.view.length;
    }
};

// The (r, 3) float64 table of segment starts, ends and lengths.
struct SegmentTable {
    TypedFloatMatrix array;
    Ref length_column;  // table[:, 2], once NumPy's calls have taken it
    Py_ssize_t rows() const { return array.view.shape[0]; }
};

// A float64 vector: NumPy's array, or native values that `values.owner`
// keeps alive (no array yet).
struct FloatValues {
    TypedFloatArray array;
    FloatVector values;
    bool native = false;
};

// The cut positions of a re-segmentation.
struct CutPositions {
    TypedFloatArray array;           // NumPy's
    ReusedVector<double> positions;  // native
    bool native = false;
    bool whole = false;  // native positions that are whole numbers (or NaN, or infinite)

    double at(Py_ssize_t j) const { return native ? positions[static_cast<size_t>(j)] : array.view[j]; }
};

// The pieces of a smoothed profile: NumPy's list of arrays, or natively the
// profile as runs of one value, written out into one array only when its
// values are read one by one.
struct Pieces {
    Ref list;  // NumPy's
    using Run = kernels::Run;
    ReusedVector<Run> runs;
    Py_ssize_t length = 0;  // values in the runs
    Py_ssize_t added = 0;   // pieces appended, empty ones included
    Ref array;              // the written-out profile: `written` values from
    double* data = nullptr; // the first `written_runs` runs
    Py_ssize_t capacity = 0;
    Py_ssize_t written = 0;
    size_t written_runs = 0;
    bool native = false;
};

// How cut positions near the end are dropped: those equal to the end
// (permutation_bg), or those at or beyond it (perm_cnv_pyx).
enum class EndFilter { DropEqual, DropAtOrAbove };

class ArrayOps {
public:
    virtual ~ArrayOps() = default;

    // np.mean(v), np.std(v, ddof=0) and np.var(v) of a view object over v.
    virtual std::optional<double> mean(const FloatVector& v) = 0;
    virtual std::optional<double> std(const FloatVector& v) = 0;
    virtual std::optional<double> var(const FloatVector& v) = 0;

    // np.where(np.diff(profile) != 0)[0]
    virtual std::optional<ChangePoints> change_points(const FloatVector& profile) = 0;
    // The same, .astype("double").
    virtual std::optional<ChangePoints> change_points_as_double(const FloatVector& profile) = 0;
    // np.abs(np.diff(change_points)) of the float64 change points.
    virtual std::optional<FloatValues> gaps(ChangePoints& change_points) = 0;
    // The values bound as a view, as an argument is bound (NumPy's array
    // must be writable).
    virtual std::optional<FloatVector> bound_view(FloatValues& values) = 0;

    // table = np.zeros((len(change_points) + 1, 3))
    virtual std::optional<SegmentTable> zero_table(ChangePoints& change_points) = 0;
    // table[:, 0] = np.concatenate(([0], change_points))
    virtual bool set_starts(SegmentTable& table, ChangePoints& change_points) = 0;
    // table[:, 1] = np.concatenate((change_points, [last_index]))
    virtual bool set_ends(SegmentTable& table, ChangePoints& change_points, Py_ssize_t last_index) = 0;
    // table[:, 2] = table[:, 1] - table[:, 0] + 1
    virtual bool set_lengths(SegmentTable& table) = 0;
    // r / np.sum(table[:, 2]) as a double.
    virtual std::optional<double> rows_over_total_length(SegmentTable& table) = 0;
    // table[:, 2] as a view.
    virtual std::optional<FloatVector> length_column(SegmentTable& table) = 0;
    // table.tolist()
    virtual Ref table_list(SegmentTable& table) = 0;

    // weights /= np.sum(weights)
    virtual bool normalise(TypedFloatArray& weights) = 0;
    // cut = np.cumsum(np.round(weights * scale))
    virtual std::optional<CutPositions> rounded_running_sum(TypedFloatArray& weights, int scale) = 0;
    // cut = cut[cut != 0]
    virtual bool drop_zeros(CutPositions& cut) = 0;
    // cut = cut[cut != end], or cut[cut < end]
    virtual bool drop_end(CutPositions& cut, Py_ssize_t end, EndFilter filter) = 0;
    // cut = np.concatenate(([0], cut, [end]))
    virtual bool add_bounds(CutPositions& cut, Py_ssize_t end) = 0;
    // len(cut)
    virtual std::optional<Py_ssize_t> cut_count(CutPositions& cut) = 0;

    // pieces = [], for segments between the given cut positions
    virtual std::optional<Pieces> begin_pieces(const CutPositions& cut) = 0;
    // float(np.round(np.mean(segment))), np.round fetched first.
    virtual std::optional<double> rounded_mean(const FloatVector& segment) = 0;
    // pieces.append(np.repeat(value, length))
    virtual bool add_piece(Pieces& pieces, double value, int length) = 0;
    // The statements of rounded_mean and add_piece for segments first,
    // first + 1, ... (segment j lies between cut positions j and j + 1;
    // `segments` of them), made at once for as long as making them one by one
    // could not differ: each one's mean rounded, held in single precision,
    // appended as a piece of its unclamped length and to `made`. Returns the
    // first segment left to be made one by one (`first`, where none is made
    // at once: NumPy's calls make each of its own).
    virtual int rounded_single_pieces(const FloatVector&, const CutPositions&, int first, int, Pieces&,
                                      std::vector<kernels::Run>&) {
        return first;
    }
    // The same for mean_piece: segments first, first + 1, ... each appended
    // as the repeat of its mean, for as long as that could not differ.
    virtual int mean_pieces(const FloatVector&, const CutPositions&, int first, int, Pieces&) { return first; }
    // pieces.append(np.repeat(np.mean(segment), length)), np.repeat fetched first.
    virtual bool mean_piece(Pieces& pieces, const FloatVector& segment, int length) = 0;
    // np.var(np.concatenate(pieces)), np.var fetched first.
    virtual std::optional<double> pieces_variance(Pieces& pieces) = 0;
    // np.concatenate(pieces), bound as a view.
    virtual std::optional<FloatVector> smoothed_profile(Pieces& pieces) = 0;

    // one / (one + np.exp(s)) in NumPy's float64 scalar arithmetic, `exp_fn`
    // being np.exp as the statement fetched it and `one` the Python 1 or 1.0
    // of the formula.
    virtual std::optional<double> logistic_weight(const Ref& exp_fn, double s, PyObject* one) = 0;

    // Python code may have run outside the operations (a NumPy call, with
    // its warnings and error callbacks): the native backend asks the gate
    // again, and where the gate has closed, makes the rest of the unit with
    // NumPy's calls.
    virtual void after_python_code() {}
};

}  // namespace ombrix
