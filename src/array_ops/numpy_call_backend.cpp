#include "numpy_call_backend.hpp"

#include "../capi/calls.hpp"
#include "../capi/globals.hpp"
#include "../capi/process_state.hpp"
#include "../capi/scalars.hpp"

namespace ombrix {

namespace {

std::optional<double> as_double(const Ref& result) {
    double value = 0.0;
    if (!result || !to_double(result.get(), value)) return std::nullopt;
    return value;
}

// np.<name>(view object over v), converted to a double.
std::optional<double> reduce_view(PyObject* name, const FloatVector& v, bool ddof_zero = false) {
    Ref fn = np_attr(name);
    if (!fn) return std::nullopt;
    Ref view = make_view_object(v);
    if (!view) return std::nullopt;
    if (ddof_zero) return as_double(call_kw(fn, {view.get(), constants.int_0}, constants.ddof_kwnames));
    return as_double(call(fn, {view.get()}));
}

// np.concatenate((first, second)), one argument: the 2-tuple.
Ref concatenate_pair(PyObject* first, PyObject* second) {
    Ref fn = np_attr(names.concatenate);
    if (!fn) return {};
    Ref pair = Ref::steal(PyTuple_Pack(2, first, second));
    if (!pair) return {};
    return call(fn, {pair.get()});
}

bool set_column(const SegmentTable& table, int column, const Ref& value) {
    return value && PyObject_SetItem(table.array.object.get(), constants.column_key[column], value.get()) == 0;
}

// cut[cut <op> bound], with the comparison made by NumPy.
bool select(CutPositions& cut, PyObject* bound, int op) {
    Ref mask = Ref::steal(PyObject_RichCompare(cut.array.object.get(), bound, op));
    if (!mask) return false;
    return assign(cut.array, Ref::steal(PyObject_GetItem(cut.array.object.get(), mask.get())));
}

// np.where(np.diff(profile) != 0)[0]: NumPy's index array.
Ref change_point_indices(const FloatVector& profile) {
    Ref where = np_attr(names.where);
    if (!where) return {};
    Ref diff = np_attr(names.diff);
    if (!diff) return {};
    Ref view = make_view_object(profile);
    if (!view) return {};
    Ref d = call(diff, {view.get()});
    if (!d) return {};
    Ref mask = Ref::steal(PyObject_RichCompare(d.get(), constants.int_0, Py_NE));
    if (!mask) return {};
    Ref found = call(where, {mask.get()});
    if (!found) return {};
    return item_at(found.get(), 0);
}

}  // namespace

std::optional<double> NumpyCallBackend::mean(const FloatVector& v) { return reduce_view(names.mean, v); }

std::optional<double> NumpyCallBackend::std(const FloatVector& v) {
    return reduce_view(names.std, v, /*ddof_zero=*/true);
}

std::optional<double> NumpyCallBackend::var(const FloatVector& v) { return reduce_view(names.var, v); }

std::optional<ChangePoints> NumpyCallBackend::change_points(const FloatVector& profile) {
    ChangePoints found;
    if (!assign(found.indices, change_point_indices(profile))) return std::nullopt;
    return found;
}

std::optional<ChangePoints> NumpyCallBackend::change_points_as_double(const FloatVector& profile) {
    Ref indices = change_point_indices(profile);
    if (!indices) return std::nullopt;
    ChangePoints found;
    if (!assign(found.as_double, call_method(indices.get(), names.astype, {names.double_}))) {
        return std::nullopt;
    }
    return found;
}

std::optional<FloatValues> NumpyCallBackend::gaps(ChangePoints& change_points) {
    Ref abs_fn = np_attr(names.abs);
    if (!abs_fn) return std::nullopt;
    Ref diff = np_attr(names.diff);
    if (!diff) return std::nullopt;
    Ref d = call(diff, {change_points.as_double.object.get()});
    if (!d) return std::nullopt;
    FloatValues gaps;
    if (!assign(gaps.array, call(abs_fn, {d.get()}))) return std::nullopt;
    gaps.values = gaps.array.view;
    return gaps;
}

std::optional<FloatVector> NumpyCallBackend::bound_view(FloatValues& values) {
    FloatVector view;
    if (!bind_vector(values.array.object.get(), kDouble, true, view)) return std::nullopt;
    return view;
}

std::optional<SegmentTable> NumpyCallBackend::zero_table(ChangePoints& change_points) {
    Ref zeros = np_attr(names.zeros);
    if (!zeros) return std::nullopt;
    Py_ssize_t count = PyObject_Length(change_points.indices.object.get());
    if (count < 0) return std::nullopt;
    Ref rows = Ref::steal(PyLong_FromSsize_t(count + 1));
    if (!rows) return std::nullopt;
    Ref three = Ref::steal(PyLong_FromLong(3));
    if (!three) return std::nullopt;
    Ref shape = Ref::steal(PyTuple_Pack(2, rows.get(), three.get()));
    if (!shape) return std::nullopt;
    SegmentTable table;
    if (!assign(table.array, call(zeros, {shape.get()}))) return std::nullopt;
    return table;
}

bool NumpyCallBackend::set_starts(SegmentTable& table, ChangePoints& change_points) {
    Ref first = one_item_list(constants.int_0);
    if (!first) return false;
    return set_column(table, 0, concatenate_pair(first.get(), change_points.indices.object.get()));
}

bool NumpyCallBackend::set_ends(SegmentTable& table, ChangePoints& change_points, Py_ssize_t last_index) {
    Ref last_obj = Ref::steal(PyLong_FromSsize_t(last_index));
    if (!last_obj) return false;
    Ref last = one_item_list(last_obj.get());
    if (!last) return false;
    return set_column(table, 1, concatenate_pair(change_points.indices.object.get(), last.get()));
}

bool NumpyCallBackend::set_lengths(SegmentTable& table) {
    PyObject* array = table.array.object.get();
    Ref ends = Ref::steal(PyObject_GetItem(array, constants.column_key[1]));
    if (!ends) return false;
    Ref starts = Ref::steal(PyObject_GetItem(array, constants.column_key[0]));
    if (!starts) return false;
    Ref spans = Ref::steal(PyNumber_Subtract(ends.get(), starts.get()));
    if (!spans) return false;
    return set_column(table, 2, Ref::steal(PyNumber_Add(spans.get(), constants.int_1)));
}

std::optional<double> NumpyCallBackend::rows_over_total_length(SegmentTable& table) {
    table.length_column = Ref::steal(PyObject_GetItem(table.array.object.get(), constants.column_key[2]));
    if (!table.length_column) return std::nullopt;
    Ref sum_fn = np_attr(names.sum);
    if (!sum_fn) return std::nullopt;
    Ref total = call(sum_fn, {table.length_column.get()});
    if (!total) return std::nullopt;
    Ref rows = Ref::steal(PyLong_FromSsize_t(table.rows()));
    if (!rows) return std::nullopt;
    return as_double(Ref::steal(PyNumber_TrueDivide(rows.get(), total.get())));
}

std::optional<FloatVector> NumpyCallBackend::length_column(SegmentTable& table) {
    if (!table.length_column) {
        table.length_column = Ref::steal(PyObject_GetItem(table.array.object.get(), constants.column_key[2]));
        if (!table.length_column) return std::nullopt;
    }
    FloatVector column;
    if (!bind_vector(table.length_column.get(), kDouble, true, column)) return std::nullopt;
    return column;
}

Ref NumpyCallBackend::table_list(SegmentTable& table) {
    return call_method(table.array.object.get(), names.tolist, {});
}

bool NumpyCallBackend::normalise(TypedFloatArray& weights) {
    Ref sum = np_attr(names.sum);
    if (!sum) return false;
    Ref total = call(sum, {weights.object.get()});
    if (!total) return false;
    return assign(weights, Ref::steal(PyNumber_InPlaceTrueDivide(weights.object.get(), total.get())));
}

std::optional<CutPositions> NumpyCallBackend::rounded_running_sum(TypedFloatArray& weights, int scale) {
    Ref cumsum = np_attr(names.cumsum);
    if (!cumsum) return std::nullopt;
    Ref round = np_attr(names.round);
    if (!round) return std::nullopt;
    Ref scale_obj = Ref::steal(PyLong_FromLong(scale));
    if (!scale_obj) return std::nullopt;
    Ref scaled = Ref::steal(PyNumber_Multiply(weights.object.get(), scale_obj.get()));
    if (!scaled) return std::nullopt;
    Ref rounded = call(round, {scaled.get()});
    if (!rounded) return std::nullopt;
    CutPositions cut;
    if (!assign(cut.array, call(cumsum, {rounded.get()}))) return std::nullopt;
    return cut;
}

bool NumpyCallBackend::drop_zeros(CutPositions& cut) { return select(cut, constants.int_0, Py_NE); }

bool NumpyCallBackend::drop_end(CutPositions& cut, Py_ssize_t end, EndFilter filter) {
    Ref end_obj = Ref::steal(PyLong_FromSsize_t(end));
    if (!end_obj) return false;
    return select(cut, end_obj.get(), filter == EndFilter::DropEqual ? Py_NE : Py_LT);
}

bool NumpyCallBackend::add_bounds(CutPositions& cut, Py_ssize_t end) {
    Ref concatenate = np_attr(names.concatenate);
    if (!concatenate) return false;
    Ref first = one_item_list(constants.int_0);
    if (!first) return false;
    Ref end_obj = Ref::steal(PyLong_FromSsize_t(end));
    if (!end_obj) return false;
    Ref last = one_item_list(end_obj.get());
    if (!last) return false;
    Ref parts = Ref::steal(PyTuple_Pack(3, first.get(), cut.array.object.get(), last.get()));
    if (!parts) return false;
    return assign(cut.array, call(concatenate, {parts.get()}));
}

std::optional<Py_ssize_t> NumpyCallBackend::cut_count(CutPositions& cut) {
    Py_ssize_t count = PyObject_Length(cut.array.object.get());
    if (count < 0) return std::nullopt;
    return count;
}

std::optional<Pieces> NumpyCallBackend::begin_pieces(const CutPositions&) {
    Pieces pieces;
    pieces.list = Ref::steal(PyList_New(0));
    if (!pieces.list) return std::nullopt;
    return pieces;
}

std::optional<double> NumpyCallBackend::rounded_mean(const FloatVector& segment) {
    Ref round = np_attr(names.round);
    if (!round) return std::nullopt;
    Ref segment_mean_obj = segment_mean(segment);
    if (!segment_mean_obj) return std::nullopt;
    return as_double(call(round, {segment_mean_obj.get()}));
}

bool NumpyCallBackend::add_piece(Pieces& pieces, double value, int length) {
    Ref value_obj = Ref::steal(PyFloat_FromDouble(value));
    if (!value_obj) return false;
    Ref length_obj = Ref::steal(PyLong_FromLong(length));
    if (!length_obj) return false;
    Ref repeat = np_attr(names.repeat);
    if (!repeat) return false;
    Ref piece = call(repeat, {value_obj.get(), length_obj.get()});
    return piece && PyList_Append(pieces.list.get(), piece.get()) == 0;
}

Ref NumpyCallBackend::segment_mean(const FloatVector& segment) {
    Ref mean_fn = np_attr(names.mean);
    if (!mean_fn) return {};
    Ref view = make_view_object(segment);
    if (!view) return {};
    return call(mean_fn, {view.get()});
}

Ref NumpyCallBackend::segment_mean_piece(const FloatVector& segment, int length) {
    Ref repeat = np_attr(names.repeat);
    if (!repeat) return {};
    Ref segment_mean_obj = segment_mean(segment);
    if (!segment_mean_obj) return {};
    Ref count = Ref::steal(PyLong_FromLong(length));
    if (!count) return {};
    return call(repeat, {segment_mean_obj.get(), count.get()});
}

bool NumpyCallBackend::mean_piece(Pieces& pieces, const FloatVector& segment, int length) {
    Ref piece = segment_mean_piece(segment, length);
    return piece && PyList_Append(pieces.list.get(), piece.get()) == 0;
}

std::optional<double> NumpyCallBackend::pieces_variance(Pieces& pieces) {
    Ref var_fn = np_attr(names.var);
    if (!var_fn) return std::nullopt;
    Ref concatenate = np_attr(names.concatenate);
    if (!concatenate) return std::nullopt;
    Ref smoothed = call(concatenate, {pieces.list.get()});
    if (!smoothed) return std::nullopt;
    return as_double(call(var_fn, {smoothed.get()}));
}

std::optional<FloatVector> NumpyCallBackend::smoothed_profile(Pieces& pieces) {
    Ref concatenate = np_attr(names.concatenate);
    if (!concatenate) return std::nullopt;
    Ref smoothed = call(concatenate, {pieces.list.get()});
    FloatVector view;
    if (!smoothed || !bind_vector(smoothed.get(), kDouble, true, view)) return std::nullopt;
    return view;
}

std::optional<double> NumpyCallBackend::logistic_weight(const Ref& exp_fn, double s, PyObject* one) {
    Ref s_obj = Ref::steal(PyFloat_FromDouble(s));
    if (!s_obj) return std::nullopt;
    Ref e = call(exp_fn, {s_obj.get()});
    if (!e) return std::nullopt;
    Ref denominator = Ref::steal(PyNumber_Add(one, e.get()));
    if (!denominator) return std::nullopt;
    return as_double(Ref::steal(PyNumber_TrueDivide(one, denominator.get())));
}

}  // namespace ombrix
