// The array operations as NumPy calls through the module global `np`,
// looked up at each use, in the order of the algorithms' statements.
#pragma once

#include "array_ops.hpp"

namespace ombrix {

class NumpyOps : public ArrayOps {
public:
    bool mean(const FloatVector& v, double& out) override;
    bool std(const FloatVector& v, double& out) override;
    bool var(const FloatVector& v, double& out) override;

    TableStep segment_table(const FloatVector& profile) override;
    Py_ssize_t table_rows() override;
    bool rows_over_total_length(double& out) override;
    bool table_lengths(FloatVector& out) override;
    Ref table_list() override;

    bool change_points_as_double(const FloatVector& profile) override;
    Py_ssize_t change_point_count() override;
    bool gaps() override;
    bool gap_view(FloatVector& out) override;

    int cut_positions(TypedFloatArray& weights, int scale, Py_ssize_t end, EndFilter filter,
                      const CutLines& lines) override;
    Py_ssize_t cut_count() override;
    double cut_at(Py_ssize_t j) override;

    bool begin_pieces() override;
    bool rounded_mean(const FloatVector& segment, double& out) override;
    bool add_piece(double value, int length) override;
    bool mean_piece(const FloatVector& segment, int length) override;
    bool pieces_variance(double& out) override;
    bool smoothed_profile(FloatVector& out) override;

protected:
    // np.where(np.diff(profile) != 0)[0]: NumPy's index array.
    static Ref change_point_indices(const FloatVector& profile);
    // np.repeat(np.mean(segment), length), np.repeat fetched first.
    static Ref segment_mean_piece(const FloatVector& segment, int length);
    // The segment table's statements after its change points.
    TableStep table_from_change_points(const FloatVector& profile);

    // The state of the statements made so far; the native backend fills it
    // when the rest of a unit continues with NumPy's calls.
    TypedFloatArray cut_;
    TypedInt64Array table_change_points_;
    TypedFloatMatrix table_;
    Ref table_length_column_;
    TypedFloatArray change_points_;
    TypedFloatArray gaps_;
    Ref pieces_;
    Ref smoothed_;
};

}  // namespace ombrix
