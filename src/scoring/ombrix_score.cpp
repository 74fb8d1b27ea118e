#include "ombrix_score.hpp"

#include "../module/module_state.hpp"
#include "../module/names.hpp"
#include "../module/numpy_calls.hpp"
#include "../module/typed_array.hpp"
#include "change_points.hpp"
#include "logistic.hpp"

namespace ombrix {

namespace {

constexpr const char* kQualname = "ombrix.ombrix";

PyObject* fail(int line) {
    add_traceback(kQualname, line);
    return nullptr;
}

// np.concatenate((first, second)), one argument: the 2-tuple.
Ref concatenate_pair(PyObject* first, PyObject* second) {
    Ref fn = np_attr(names.concatenate);
    if (!fn) return {};
    Ref pair = Ref::steal(PyTuple_Pack(2, first, second));
    return pair ? call(fn, {pair.get()}) : Ref();
}

bool set_column(const TypedFloatMatrix& table, int column, const Ref& value) {
    return value && PyObject_SetItem(table.object.get(), constants.column_key[column], value.get()) == 0;
}

// Steps 9 to 14: r over the summed lengths, times the logistic weight of
// the length skewness, times the profile's variance. Any failure raises.
bool compute_score(const FloatVector& cnv_data, const TypedFloatMatrix& table, double& score) {
    Py_ssize_t r = table.view.shape[0];
    if (r < 2) {
        score = 0.0;
        return true;
    }
    Ref lengths = Ref::steal(PyObject_GetItem(table.object.get(), constants.column_key[2]));
    if (!lengths) return false;
    Ref sum_fn = np_attr(names.sum);
    Ref total = sum_fn ? call(sum_fn, {lengths.get()}) : Ref();
    Ref rows = Ref::steal(PyLong_FromSsize_t(r));
    Ref ratio = total && rows ? Ref::steal(PyNumber_TrueDivide(rows.get(), total.get())) : Ref();
    double a = 0.0;
    if (!ratio || !to_double(ratio.get(), a)) return false;

    FloatVector length_view;
    if (!bind_vector(lengths.get(), kDouble, true, length_view)) return false;
    double b = 0.0;
    if (!length_skew_weight(length_view, b)) return false;

    double v = 0.0;
    Ref var_fn = np_attr(names.var);
    Ref view = var_fn ? make_view_object(cnv_data) : Ref();
    Ref variance = view ? call(var_fn, {view.get()}) : Ref();
    if (!variance || !to_double(variance.get(), v)) return false;

    score = (a * b) * v;
    return true;
}

}  // namespace

PyObject* ombrix_score(const FloatVector& cnv_data) {
    TypedInt64Array change_points;
    if (!assign(change_points, find_change_points(cnv_data))) return fail(OmbrixLines::change_points);

    TypedFloatMatrix table;
    {
        Ref zeros = np_attr(names.zeros);
        Py_ssize_t count = zeros ? PyObject_Length(change_points.object.get()) : -1;
        Ref rows = count >= 0 ? Ref::steal(PyLong_FromSsize_t(count + 1)) : Ref();
        Ref three = rows ? Ref::steal(PyLong_FromLong(3)) : Ref();
        Ref shape = three ? Ref::steal(PyTuple_Pack(2, rows.get(), three.get())) : Ref();
        if (!assign(table, shape ? call(zeros, {shape.get()}) : Ref())) return fail(OmbrixLines::table);
    }
    {
        Ref first = one_item_list(constants.int_0);
        if (!set_column(table, 0, first ? concatenate_pair(first.get(), change_points.object.get()) : Ref())) {
            return fail(OmbrixLines::start_column);
        }
    }
    {
        Ref last_index = Ref::steal(PyLong_FromSsize_t(cnv_data.length - 1));
        Ref last = last_index ? one_item_list(last_index.get()) : Ref();
        if (!set_column(table, 1, last ? concatenate_pair(change_points.object.get(), last.get()) : Ref())) {
            return fail(OmbrixLines::end_column);
        }
    }
    {
        Ref ends = Ref::steal(PyObject_GetItem(table.object.get(), constants.column_key[1]));
        Ref starts = ends ? Ref::steal(PyObject_GetItem(table.object.get(), constants.column_key[0])) : Ref();
        Ref spans = starts ? Ref::steal(PyNumber_Subtract(ends.get(), starts.get())) : Ref();
        if (!set_column(table, 2, spans ? Ref::steal(PyNumber_Add(spans.get(), constants.int_1)) : Ref())) {
            return fail(OmbrixLines::length_column);
        }
    }

    double score = 0.0;
    if (!compute_score(cnv_data, table, score)) {
        if (!discard_guarded_exception()) return fail(OmbrixLines::score_block);
        score = 0.0;
    }

    Ref result = Ref::steal(PyDict_New());
    Ref rows = result ? call_method(table.object.get(), names.tolist, {}) : Ref();
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

PyObject* ombrix_entry(const BoundArgs& args) { return ombrix_score(args.vector(0)); }

}  // namespace ombrix
