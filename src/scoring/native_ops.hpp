// The array operations computed natively with NumPy's bits. An operation
// whose arithmetic raises a flag that NumPy would report under the caller's
// error state, or that NumPy would warn about without a flag (the mean of an
// empty segment), is made along NumpyOps instead, at the same point of the
// algorithm, so warnings and errors are exactly NumPy's. Whenever Python code
// may have run, the gate is asked again; once it has closed (a warning hook
// or an error callback replaced `np` or one of its functions), the state
// built so far is handed to NumpyOps and the rest of the unit is its calls.
#pragma once

#include <vector>

#include "../module/native_gate.hpp"
#include "numpy_kernels.hpp"
#include "numpy_ops.hpp"

namespace ombrix {

class NativeOps final : public NumpyOps {
public:
    explicit NativeOps(const NativeConditions& conditions) : conditions_(conditions) {}

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

    bool after_python_code() override;

private:
    // Set once the gate has closed in the middle of the unit.
    bool numpy_calls_ = false;
    bool hand_state_to_numpy_calls();
    // What the native statements have made so far, for that hand-over.
    bool have_change_points_ = false;
    bool have_gaps_ = false;
    bool have_cuts_ = false;
    Py_ssize_t pieces_added_ = -1;  // -1 until begin_pieces


    bool reported(unsigned flags) const { return (flags & conditions_.reported_flags) != 0; }
    // A reduction by its kernel, or by NumPy's call where the kernel's result
    // would not carry NumPy's warnings.
    template <class NumpyCall>
    bool reduce(const FloatVector& v, kernels::Result (*kernel)(kernels::Doubles, Py_ssize_t),
                NumpyCall&& numpy_call, double& out);
    // The change points natively, or from NumPy's index array when the
    // differences raise a reported flag.
    // `indices` receives NumPy's index array when NumPy made them.
    bool find_change_points(const FloatVector& profile, Ref& indices);

    NativeConditions conditions_;
    std::vector<double> change_points_;
    Ref table_;  // (r, 3) float64
    Py_ssize_t table_rows_ = 0;
    FloatVector gaps_;
    std::vector<double> cut_;
    // The smoothed profile, written in place into an array that is as long
    // as the largest cut position, so it never needs to grow.
    // np.mean of an empty segment, with `then` (np.round or np.repeat)
    // fetched first as the statement does.
    bool empty_segment_mean(const FloatVector& segment, PyObject* then_name, Ref& then, Ref& mean);
    bool append_piece_values(PyObject* piece);
    bool take_numpy_piece(const Ref& piece);
    bool reserve_smoothed(Py_ssize_t count);
    bool append_smoothed(double value, Py_ssize_t count);
    Ref smoothed_array_;
    double* smoothed_ = nullptr;
    Py_ssize_t smoothed_capacity_ = 0;
    Py_ssize_t smoothed_length_ = 0;
    // The smoothed profile as runs of one value, for its change points.
    struct Piece {
        double value;
        Py_ssize_t length;
    };
    std::vector<Piece> pieces_;
    bool is_smoothed_profile(const FloatVector& v) const;
    void smoothed_change_points();
};

}  // namespace ombrix
