#include "ombrix_score.hpp"

#include "../array_ops/backend_choice.hpp"
#include "../capi/failures.hpp"
#include "../capi/process_state.hpp"
#include "logistic.hpp"

namespace ombrix {

namespace {

constexpr Traceback trace{"ombrix.ombrix"};
using Lines = OmbrixLines;

// r over the summed lengths, times the logistic weight of the length
// skewness, times the profile's variance. Any failure raises.
std::optional<double> compute_score(ArrayOps& ops, SegmentTable& table, const FloatVector& cnv_data) {
    if (table.rows() < 2) return 0.0;
    std::optional<double> a = ops.rows_over_total_length(table);
    if (!a) return std::nullopt;
    std::optional<FloatVector> lengths = ops.length_column(table);
    if (!lengths) return std::nullopt;
    std::optional<double> b = length_skew_weight(ops, *lengths);
    if (!b) return std::nullopt;
    std::optional<double> v = ops.var(cnv_data);
    if (!v) return std::nullopt;
    return (*a * *b) * *v;
}

PyObject* ombrix_score(ArrayOps& ops, const FloatVector& cnv_data) {
    std::optional<ChangePoints> change_points = ops.change_points(cnv_data);
    if (!change_points) return trace.at(Lines::change_points);
    std::optional<SegmentTable> table = ops.zero_table(*change_points);
    if (!table) return trace.at(Lines::table);
    if (!ops.set_starts(*table, *change_points)) return trace.at(Lines::start_column);
    if (!ops.set_ends(*table, *change_points, cnv_data.length - 1)) return trace.at(Lines::end_column);
    if (!ops.set_lengths(*table)) return trace.at(Lines::length_column);

    std::optional<double> score = compute_score(ops, *table, cnv_data);
    if (!score) {
        if (!discard_guarded_exception()) return trace.at(Lines::score_block);
        score = 0.0;
    }

    Ref result = Ref::steal(PyDict_New());
    if (!result) return trace.at(Lines::result);
    Ref rows = ops.table_list(*table);
    if (!rows || PyDict_SetItem(result.get(), names.smooth_segment, rows.get()) < 0) {
        return trace.at(Lines::result);
    }
    Ref score_obj = Ref::steal(PyFloat_FromDouble(*score));
    if (!score_obj) return trace.at(Lines::score_float);
    if (PyDict_SetItem(result.get(), names.rearrange_score, score_obj.get()) < 0) {
        return trace.at(Lines::result);
    }
    return result.release();
}

}  // namespace

PyObject* ombrix_score(const FloatVector& cnv_data) {
    return with_array_ops(!cnv_data.is_none(), [&](ArrayOps& ops) { return ombrix_score(ops, cnv_data); });
}

}  // namespace ombrix
