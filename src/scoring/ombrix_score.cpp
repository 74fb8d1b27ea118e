#include "ombrix_score.hpp"

#include "../module/module_state.hpp"
#include "../module/names.hpp"
#include "logistic.hpp"
#include "ops_choice.hpp"

namespace ombrix {

namespace {

constexpr const char* kQualname = "ombrix.ombrix";

PyObject* fail(int line) {
    add_traceback(kQualname, line);
    return nullptr;
}

int table_step_line(ArrayOps::TableStep step) {
    switch (step) {
        case ArrayOps::TableStep::change_points: return OmbrixLines::change_points;
        case ArrayOps::TableStep::table: return OmbrixLines::table;
        case ArrayOps::TableStep::start_column: return OmbrixLines::start_column;
        case ArrayOps::TableStep::end_column: return OmbrixLines::end_column;
        case ArrayOps::TableStep::length_column: return OmbrixLines::length_column;
        case ArrayOps::TableStep::done: break;
    }
    return 0;
}

// r over the summed lengths, times the logistic weight of the length
// skewness, times the profile's variance. Any failure raises.
bool compute_score(ArrayOps& ops, const FloatVector& cnv_data, double& score) {
    if (ops.table_rows() < 2) {
        score = 0.0;
        return true;
    }
    double a = 0.0;
    if (!ops.rows_over_total_length(a)) return false;
    FloatVector lengths;
    double b = 0.0;
    if (!ops.table_lengths(lengths) || !length_skew_weight(ops, lengths, b)) return false;
    double v = 0.0;
    if (!ops.var(cnv_data, v)) return false;
    score = (a * b) * v;
    return true;
}

PyObject* ombrix_score(ArrayOps& ops, const FloatVector& cnv_data) {
    if (ArrayOps::TableStep step = ops.segment_table(cnv_data); step != ArrayOps::TableStep::done) {
        return fail(table_step_line(step));
    }
    double score = 0.0;
    if (!compute_score(ops, cnv_data, score)) {
        if (!discard_guarded_exception()) return fail(OmbrixLines::score_block);
        score = 0.0;
    }

    Ref result = Ref::steal(PyDict_New());
    Ref rows = result ? ops.table_list() : Ref();
    if (!rows || PyDict_SetItem(result.get(), names.smooth_segment, rows.get()) < 0) {
        return fail(OmbrixLines::result);
    }
    Ref score_obj = Ref::steal(PyFloat_FromDouble(score));
    if (!score_obj) return fail(OmbrixLines::score_float);
    if (PyDict_SetItem(result.get(), names.rearrange_score, score_obj.get()) < 0) {
        return fail(OmbrixLines::result);
    }
    return result.release();
}

}  // namespace

PyObject* ombrix_score(const FloatVector& cnv_data) {
    return with_array_ops(!cnv_data.is_none(),
                          [&](ArrayOps& ops) { return ombrix_score(ops, cnv_data); });
}

PyObject* ombrix_entry(const BoundArgs& args) { return ombrix_score(args.vector(0)); }

}  // namespace ombrix
