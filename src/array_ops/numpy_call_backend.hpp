// The array operations as NumPy calls through the module global `np`, looked
// up at each use, in the order of the algorithms' statements. It reads only
// the NumPy form of the values it is given.
#pragma once

#include "array_ops.hpp"

namespace ombrix {

class NumpyCallBackend final : public ArrayOps {
public:
    std::optional<double> mean(const FloatVector& v) override;
    std::optional<double> std(const FloatVector& v) override;
    std::optional<double> var(const FloatVector& v) override;

    std::optional<ChangePoints> change_points(const FloatVector& profile) override;
    std::optional<ChangePoints> change_points_as_double(const FloatVector& profile) override;
    std::optional<FloatValues> gaps(ChangePoints& change_points) override;
    std::optional<FloatVector> bound_view(FloatValues& values) override;

    std::optional<SegmentTable> zero_table(ChangePoints& change_points) override;
    bool set_starts(SegmentTable& table, ChangePoints& change_points) override;
    bool set_ends(SegmentTable& table, ChangePoints& change_points, Py_ssize_t last_index) override;
    bool set_lengths(SegmentTable& table) override;
    std::optional<double> rows_over_total_length(SegmentTable& table) override;
    std::optional<FloatVector> length_column(SegmentTable& table) override;
    Ref table_list(SegmentTable& table) override;

    bool normalise(TypedFloatArray& weights) override;
    std::optional<CutPositions> rounded_running_sum(TypedFloatArray& weights, int scale) override;
    bool drop_zeros(CutPositions& cut) override;
    bool drop_end(CutPositions& cut, Py_ssize_t end, EndFilter filter) override;
    bool add_bounds(CutPositions& cut, Py_ssize_t end) override;
    std::optional<Py_ssize_t> cut_count(CutPositions& cut) override;

    std::optional<Pieces> begin_pieces(const CutPositions& cut) override;
    std::optional<double> rounded_mean(const FloatVector& segment) override;
    bool add_piece(Pieces& pieces, double value, int length) override;
    bool mean_piece(Pieces& pieces, const FloatVector& segment, int length) override;
    std::optional<double> pieces_variance(Pieces& pieces) override;
    std::optional<FloatVector> smoothed_profile(Pieces& pieces) override;

    std::optional<double> logistic_weight(const Ref& exp_fn, double s, PyObject* one) override;

    // np.mean(segment) of a view object over the segment.
    static Ref segment_mean(const FloatVector& segment);
    // np.repeat(np.mean(segment), length), np.repeat fetched first.
    static Ref segment_mean_piece(const FloatVector& segment, int length);
};

}  // namespace ombrix
