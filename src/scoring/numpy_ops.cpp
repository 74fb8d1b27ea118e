#include "numpy_ops.hpp"

#include "../module/module_state.hpp"
#include "../module/names.hpp"
#include "../module/numpy_calls.hpp"

namespace ombrix {

namespace {

// np.<name>(view object over v), converted to a double.
bool reduce_view(PyObject* name, const FloatVector& v, double& out, bool ddof_zero = false) {
    Ref fn = np_attr(name);
    Ref view = fn ? make_view_object(v) : Ref();
    if (!view) return false;
    Ref result = ddof_zero ? call_kw(fn, {view.get(), constants.int_0}, constants.ddof_kwnames)
                           : call(fn, {view.get()});
    return result && to_double(result.get(), out);
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

// cut[cut <op> bound], with the comparison made by NumPy.
Ref select(const TypedFloatArray& cut, PyObject* bound, int op) {
    Ref mask = Ref::steal(PyObject_RichCompare(cut.object.get(), bound, op));
    return mask ? Ref::steal(PyObject_GetItem(cut.object.get(), mask.get())) : Ref();
}

}  // namespace

bool NumpyOps::mean(const FloatVector& v, double& out) { return reduce_view(names.mean, v, out); }

bool NumpyOps::std(const FloatVector& v, double& out) {
    return reduce_view(names.std, v, out, /*ddof_zero=*/true);
}

bool NumpyOps::var(const FloatVector& v, double& out) { return reduce_view(names.var, v, out); }

Ref NumpyOps::change_point_indices(const FloatVector& profile) {
    Ref where = np_attr(names.where);
    Ref diff = where ? np_attr(names.diff) : Ref();
    Ref view = diff ? make_view_object(profile) : Ref();
    Ref d = view ? call(diff, {view.get()}) : Ref();
    Ref mask = d ? Ref::steal(PyObject_RichCompare(d.get(), constants.int_0, Py_NE)) : Ref();
    Ref found = mask ? call(where, {mask.get()}) : Ref();
    return found ? item_at(found.get(), 0) : Ref();
}

ArrayOps::TableStep NumpyOps::segment_table(const FloatVector& profile) {
    if (!assign(table_change_points_, change_point_indices(profile))) return TableStep::change_points;
    return table_from_change_points(profile);
}

ArrayOps::TableStep NumpyOps::table_from_change_points(const FloatVector& profile) {
    {
        Ref zeros = np_attr(names.zeros);
        Py_ssize_t count = zeros ? PyObject_Length(table_change_points_.object.get()) : -1;
        Ref rows = count >= 0 ? Ref::steal(PyLong_FromSsize_t(count + 1)) : Ref();
        Ref three = rows ? Ref::steal(PyLong_FromLong(3)) : Ref();
        Ref shape = three ? Ref::steal(PyTuple_Pack(2, rows.get(), three.get())) : Ref();
        if (!assign(table_, shape ? call(zeros, {shape.get()}) : Ref())) return TableStep::table;
    }
    PyObject* change_points = table_change_points_.object.get();
    {
        Ref first = one_item_list(constants.int_0);
        if (!set_column(table_, 0, first ? concatenate_pair(first.get(), change_points) : Ref())) {
            return TableStep::start_column;
        }
    }
    {
        Ref last_index = Ref::steal(PyLong_FromSsize_t(profile.length - 1));
        Ref last = last_index ? one_item_list(last_index.get()) : Ref();
        if (!set_column(table_, 1, last ? concatenate_pair(change_points, last.get()) : Ref())) {
            return TableStep::end_column;
        }
    }
    Ref ends = Ref::steal(PyObject_GetItem(table_.object.get(), constants.column_key[1]));
    Ref starts = ends ? Ref::steal(PyObject_GetItem(table_.object.get(), constants.column_key[0])) : Ref();
    Ref spans = starts ? Ref::steal(PyNumber_Subtract(ends.get(), starts.get())) : Ref();
    if (!set_column(table_, 2, spans ? Ref::steal(PyNumber_Add(spans.get(), constants.int_1)) : Ref())) {
        return TableStep::length_column;
    }
    return TableStep::done;
}

Py_ssize_t NumpyOps::table_rows() { return table_.view.shape[0]; }

bool NumpyOps::rows_over_total_length(double& out) {
    table_length_column_ = Ref::steal(PyObject_GetItem(table_.object.get(), constants.column_key[2]));
    if (!table_length_column_) return false;
    Ref sum_fn = np_attr(names.sum);
    Ref total = sum_fn ? call(sum_fn, {table_length_column_.get()}) : Ref();
    Ref rows = Ref::steal(PyLong_FromSsize_t(table_rows()));
    Ref ratio = total && rows ? Ref::steal(PyNumber_TrueDivide(rows.get(), total.get())) : Ref();
    return ratio && to_double(ratio.get(), out);
}

bool NumpyOps::table_lengths(FloatVector& out) {
    return bind_vector(table_length_column_.get(), kDouble, true, out);
}

Ref NumpyOps::table_list() { return call_method(table_.object.get(), names.tolist, {}); }

bool NumpyOps::change_points_as_double(const FloatVector& profile) {
    Ref indices = change_point_indices(profile);
    Ref as_double = indices ? call_method(indices.get(), names.astype, {names.double_}) : Ref();
    return assign(change_points_, std::move(as_double));
}

Py_ssize_t NumpyOps::change_point_count() { return change_points_.view.length; }

bool NumpyOps::gaps() {
    Ref abs_fn = np_attr(names.abs);
    Ref diff = abs_fn ? np_attr(names.diff) : Ref();
    Ref d = diff ? call(diff, {change_points_.object.get()}) : Ref();
    return assign(gaps_, d ? call(abs_fn, {d.get()}) : Ref());
}

bool NumpyOps::gap_view(FloatVector& out) { return bind_vector(gaps_.object.get(), kDouble, true, out); }

int NumpyOps::cut_positions(TypedFloatArray& weights, int scale, Py_ssize_t end, EndFilter filter,
                            const CutLines& lines) {
    {
        Ref sum = np_attr(names.sum);
        Ref total = sum ? call(sum, {weights.object.get()}) : Ref();
        Ref divided = total ? Ref::steal(PyNumber_InPlaceTrueDivide(weights.object.get(), total.get()))
                            : Ref();
        if (!assign(weights, std::move(divided))) return lines.normalise;
    }
    {
        Ref cumsum = np_attr(names.cumsum);
        Ref round = cumsum ? np_attr(names.round) : Ref();
        Ref scale_obj = round ? Ref::steal(PyLong_FromLong(scale)) : Ref();
        Ref scaled = scale_obj ? Ref::steal(PyNumber_Multiply(weights.object.get(), scale_obj.get()))
                               : Ref();
        Ref rounded = scaled ? call(round, {scaled.get()}) : Ref();
        if (!assign(cut_, rounded ? call(cumsum, {rounded.get()}) : Ref())) return lines.cut_positions;
    }
    if (!assign(cut_, select(cut_, constants.int_0, Py_NE))) return lines.drop_zero;
    Ref end_obj = Ref::steal(PyLong_FromSsize_t(end));
    if (!end_obj) return lines.drop_end;
    int op = filter == EndFilter::DropEqual ? Py_NE : Py_LT;
    if (!assign(cut_, select(cut_, end_obj.get(), op))) return lines.drop_end;
    {
        Ref concatenate = np_attr(names.concatenate);
        Ref first = concatenate ? one_item_list(constants.int_0) : Ref();
        Ref last = first ? one_item_list(end_obj.get()) : Ref();
        Ref parts = last ? Ref::steal(PyTuple_Pack(3, first.get(), cut_.object.get(), last.get()))
                         : Ref();
        if (!assign(cut_, parts ? call(concatenate, {parts.get()}) : Ref())) return lines.add_bounds;
    }
    return 0;
}

Py_ssize_t NumpyOps::cut_count() { return PyObject_Length(cut_.object.get()); }

double NumpyOps::cut_at(Py_ssize_t j) { return cut_.view[j]; }

bool NumpyOps::begin_pieces() { return static_cast<bool>(pieces_ = Ref::steal(PyList_New(0))); }

bool NumpyOps::rounded_mean(const FloatVector& segment, double& out) {
    Ref round = np_attr(names.round);
    Ref mean = round ? np_attr(names.mean) : Ref();
    Ref view = mean ? make_view_object(segment) : Ref();
    Ref segment_mean = view ? call(mean, {view.get()}) : Ref();
    Ref rounded = segment_mean ? call(round, {segment_mean.get()}) : Ref();
    return rounded && to_double(rounded.get(), out);
}

bool NumpyOps::add_piece(double value, int length) {
    Ref value_obj = Ref::steal(PyFloat_FromDouble(value));
    Ref length_obj = value_obj ? Ref::steal(PyLong_FromLong(length)) : Ref();
    Ref repeat = length_obj ? np_attr(names.repeat) : Ref();
    Ref piece = repeat ? call(repeat, {value_obj.get(), length_obj.get()}) : Ref();
    return piece && PyList_Append(pieces_.get(), piece.get()) == 0;
}

Ref NumpyOps::segment_mean_piece(const FloatVector& segment, int length) {
    Ref repeat = np_attr(names.repeat);
    Ref mean = repeat ? np_attr(names.mean) : Ref();
    Ref view = mean ? make_view_object(segment) : Ref();
    Ref segment_mean = view ? call(mean, {view.get()}) : Ref();
    Ref count = segment_mean ? Ref::steal(PyLong_FromLong(length)) : Ref();
    return count ? call(repeat, {segment_mean.get(), count.get()}) : Ref();
}

bool NumpyOps::mean_piece(const FloatVector& segment, int length) {
    Ref piece = segment_mean_piece(segment, length);
    return piece && PyList_Append(pieces_.get(), piece.get()) == 0;
}

bool NumpyOps::pieces_variance(double& out) {
    Ref var_fn = np_attr(names.var);
    Ref concatenate = var_fn ? np_attr(names.concatenate) : Ref();
    Ref smoothed = concatenate ? call(concatenate, {pieces_.get()}) : Ref();
    Ref variance = smoothed ? call(var_fn, {smoothed.get()}) : Ref();
    return variance && to_double(variance.get(), out);
}

bool NumpyOps::smoothed_profile(FloatVector& out) {
    Ref concatenate = np_attr(names.concatenate);
    smoothed_ = concatenate ? call(concatenate, {pieces_.get()}) : Ref();
    return smoothed_ && bind_vector(smoothed_.get(), kDouble, true, out);
}

}  // namespace ombrix
