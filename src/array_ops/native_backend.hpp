// The array operations computed natively with NumPy's bits. An operation
// whose arithmetic raises a flag that NumPy would report under the caller's
// error state, or that NumPy would warn about without a flag (the mean of an
// empty segment, unless its warnings can be issued here exactly), is made
// by the NumPy-call backend instead, at the same point of the algorithm, so
// warnings and errors are exactly NumPy's; a value that NumPy made is then
// worked on by NumPy's calls. Whenever Python
// code may have run, the gate is asked again; once it has closed (a warning
// hook or an error callback replaced `np` or one of its functions), the rest
// of the unit is NumPy's calls, on the NumPy form of the values made so far.
#pragma once

#include <vector>

#include "../kernels/float64.hpp"
#include "../capi/process_state.hpp"
#include "empty_mean.hpp"
#include "native_gate.hpp"
#include "numpy_call_backend.hpp"

namespace ombrix {

class NativeBackend final : public ArrayOps {
public:
    explicit NativeBackend(const NativeConditions& conditions);

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
    int rounded_single_pieces(const FloatVector& data, const CutPositions& cut, int first, int segments,
                              Pieces& pieces, std::vector<kernels::Run>& made) override;
    int mean_pieces(const FloatVector& data, const CutPositions& cut, int first, int segments,
                    Pieces& pieces) override;
    bool mean_piece(Pieces& pieces, const FloatVector& segment, int length) override;
    std::optional<double> pieces_variance(Pieces& pieces) override;
    // Takes the pieces' runs over for the change points of the profile.
    std::optional<FloatVector> smoothed_profile(Pieces& pieces) override;

    std::optional<double> logistic_weight(const Ref& exp_fn, double s, PyObject* one) override;

    void after_python_code() override;

private:
    bool reported(unsigned flags) const { return (flags & conditions_.reported_flags) != 0; }

    // NumPy's call for one operation, on the NumPy form of `values`, with the
    // gate asked again after it: the one way an operation is handed over.
    template <class NumpyCall, class... Values>
    auto hand_over(NumpyCall&& numpy_call, Values&&... values) -> decltype(numpy_call());

    // A reduction by its kernel, or by NumPy's call where the kernel's result
    // would not carry NumPy's warnings (an empty vector: NumPy warns without
    // a flag).
    template <class NumpyCall>
    std::optional<double> reduce(const FloatVector& v, kernels::Result (*kernel)(kernels::Doubles, std::ptrdiff_t),
                                 NumpyCall&& numpy_call);
    // The change points natively: the flags of their differences.
    unsigned find_change_points(const FloatVector& profile, std::vector<double>& positions);
    unsigned smoothed_change_points(std::vector<double>& positions) const;
    bool is_smoothed_profile(const FloatVector& v) const;
    // The smoothed profile's elements not written yet, into its array.
    void write_smoothed_profile();
    // Before v's elements are read: written, where v views the profile.
    void make_readable(const FloatVector& v);
    // var() of v (n > 0), which `runs` spell out, natively, else by NumPy.
    std::optional<double> runs_variance(const FloatVector& v, const std::vector<Pieces::Run>& runs);

    // np.mean of an empty segment, which warns: its warnings issued here
    // where that is exact (empty_mean.hpp), else NumPy's own call; `then`
    // (np.round or np.repeat) is fetched first, as the statement does.
    Ref empty_segment_mean(const FloatVector& segment, PyObject* then_name, Ref& then);
    bool take_numpy_piece(Pieces& pieces, const Ref& piece);
    // The segments of both loops made at once: each mean as a piece, or
    // (given `rounded_made`) rounded and held in single precision.
    int pieces_at_once(const FloatVector& data, const CutPositions& cut, int first, int segments, Pieces& pieces,
                       std::vector<kernels::Run>* rounded_made);
    // Their loop: a flag window a mean (window_each), else none of its own.
    int segments_at_once(const FloatVector& data, const CutPositions& cut, int first, int segments, Pieces& pieces,
                         std::vector<kernels::Run>* rounded_made, bool window_each);
    bool append_run(Pieces& pieces, double value, Py_ssize_t count);
    bool append_piece_values(Pieces& pieces, PyObject* piece);

    NumpyCallBackend numpy_;
    NativeConditions conditions_;
    bool gate_closed_ = false;  // once it has closed in the middle of the unit: NumPy's calls only
    // The empty mean whose warnings would do nothing until Python code runs.
    const EmptyMean* silent_empty_mean_ = nullptr;

    // The smoothed profile last handed out, as runs of one value; its
    // array holds the first `smoothed_written_` values (of the first
    // `smoothed_written_runs_` runs) while the rest is pending.
    const char* smoothed_base_ = nullptr;
    Py_ssize_t smoothed_length_ = 0;
    ReusedVector<Pieces::Run> smoothed_runs_;
    Ref smoothed_array_;
    Py_ssize_t smoothed_written_ = 0;
    size_t smoothed_written_runs_ = 0;
    bool smoothed_pending_ = false;
};

}  // namespace ombrix
