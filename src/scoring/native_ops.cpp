#include "native_ops.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "../module/module_state.hpp"
#include "../module/names.hpp"
#include "../module/numpy_api.hpp"
#include "../module/numpy_calls.hpp"
#include "ops_choice.hpp"
#include "scratch_arrays.hpp"
#include <numpy/arrayscalars.h>

namespace ombrix {

PathCounts path_counts;

namespace {

kernels::Doubles doubles(const FloatVector& v) { return {v.base, v.length, v.stride}; }

// A new float64 array of `count` elements and a view over it that keeps it
// alive, so that an operation handed to NumPy always gets owned memory.
bool new_array(npy_intp count, Ref& array, FloatVector& view) {
    array = Ref::steal(PyArray_SimpleNew(1, &count, NPY_DOUBLE));
    if (!array) return false;
    view.base = static_cast<const char*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(array.get())));
    view.length = count;
    view.stride = sizeof(double);
    view.owner = array;
    return true;
}

void append_view(const FloatVector& v, std::vector<double>& out) {
    for (Py_ssize_t i = 0; i < v.length; ++i) out.push_back(v[i]);
}

// A new float64 array holding a copy of `count` contiguous values.
Ref array_of(const double* values, Py_ssize_t count) {
    Ref array;
    FloatVector view;
    if (!new_array(count, array, view)) return {};
    std::copy_n(values, count, reinterpret_cast<double*>(const_cast<char*>(view.base)));
    return array;
}

}  // namespace

template <class NumpyCall>
bool NativeOps::reduce(const FloatVector& v, kernels::Result (*kernel)(kernels::Doubles, Py_ssize_t),
                       NumpyCall&& numpy_call, double& out) {
    if (!v.is_none() && v.length > 0) {
        kernels::Result r = kernel(doubles(v), conditions_.reduction_chunk);
        if (!reported(r.flags)) {
            out = r.value;
            return true;
        }
    }
    return numpy_call() && after_python_code();  // empty: NumPy warns without a flag
}

bool NativeOps::after_python_code() {
    if (numpy_calls_) return true;
    NativeConditions now;
    if (native_conditions(now)) {
        conditions_ = now;  // the error state may have changed too
        return true;
    }
    numpy_calls_ = true;
    return hand_state_to_numpy_calls();
}

// NumpyOps' state as its statements would have left it at this point.
bool NativeOps::hand_state_to_numpy_calls() {
    if (table_) {
        if (!assign(NumpyOps::table_, table_)) return false;
        table_length_column_ = Ref::steal(PyObject_GetItem(table_.get(), constants.column_key[2]));
        if (!table_length_column_) return false;
    }
    if (have_change_points_ && !assign(NumpyOps::change_points_,
                                       array_of(change_points_.data(), static_cast<Py_ssize_t>(change_points_.size())))) {
        return false;
    }
    if (have_gaps_ && !assign(NumpyOps::gaps_, array_of(reinterpret_cast<const double*>(gaps_.base), gaps_.length))) {
        return false;
    }
    if (have_cuts_ && !NumpyOps::cut_.object &&
        !assign(NumpyOps::cut_, array_of(cut_.data(), static_cast<Py_ssize_t>(cut_.size())))) {
        return false;
    }
    if (pieces_added_ >= 0) {
        NumpyOps::pieces_ = Ref::steal(PyList_New(0));
        if (!NumpyOps::pieces_) return false;
        // the pieces so far as one: their concatenation is the same array
        Ref so_far = pieces_added_ > 0 ? array_of(smoothed_, smoothed_length_) : Ref();
        if (pieces_added_ > 0 && (!so_far || PyList_Append(NumpyOps::pieces_.get(), so_far.get()) < 0)) {
            return false;
        }
    }
    return true;
}

bool NativeOps::mean(const FloatVector& v, double& out) {
    if (numpy_calls_) return NumpyOps::mean(v, out);
    return reduce(v, kernels::mean, [&] { return NumpyOps::mean(v, out); }, out);
}

bool NativeOps::std(const FloatVector& v, double& out) {
    if (numpy_calls_) return NumpyOps::std(v, out);
    return reduce(v, kernels::standard_deviation, [&] { return NumpyOps::std(v, out); }, out);
}

bool NativeOps::var(const FloatVector& v, double& out) {
    if (numpy_calls_) return NumpyOps::var(v, out);
    return reduce(v, kernels::variance, [&] { return NumpyOps::var(v, out); }, out);
}

bool NativeOps::is_smoothed_profile(const FloatVector& v) const {
    return smoothed_ && v.base == reinterpret_cast<const char*>(smoothed_) &&
           v.length == smoothed_length_ && v.stride == sizeof(double);
}

// The differences of a profile made of constant pieces are m - m inside a
// piece and the step between pieces: computing each of them once gives the
// change points and the flags of the element-by-element differences.
void NativeOps::smoothed_change_points() {
    change_points_.clear();
    kernels::clear_fp_flags();
    Py_ssize_t position = 0;
    double previous = 0.0;
    volatile double sink = 0.0;  // keeps every difference ahead of the flag test
    for (const Piece& piece : pieces_) {
        if (piece.length == 0) continue;
        if (position > 0) {
            double step = piece.value - previous;
            sink = step;
            if (step != 0) change_points_.push_back(static_cast<double>(position - 1));
        }
        if (piece.length > 1) {
            double inside = piece.value - piece.value;
            sink = inside;
            if (inside != 0) {
                for (Py_ssize_t i = 0; i + 1 < piece.length; ++i) {
                    change_points_.push_back(static_cast<double>(position + i));
                }
            }
        }
        previous = piece.value;
        position += piece.length;
    }
    (void)sink;
}

bool NativeOps::find_change_points(const FloatVector& profile, Ref& indices) {
    have_change_points_ = true;
    unsigned flags = 0;
    if (is_smoothed_profile(profile)) {
        smoothed_change_points();
        flags = kernels::current_flags();
    } else {
        flags = kernels::change_points(doubles(profile), change_points_);
    }
    if (!reported(flags)) return true;
    TypedInt64Array typed;
    indices = change_point_indices(profile);
    if (!assign(typed, indices)) return false;
    change_points_.clear();
    for (Py_ssize_t i = 0; i < typed.view.length; ++i) {
        change_points_.push_back(static_cast<double>(typed.view[i]));
    }
    return after_python_code();
}

ArrayOps::TableStep NativeOps::segment_table(const FloatVector& profile) {
    // None only ever reaches NumpyOps: the caller picks it for such a call.
    if (numpy_calls_) return NumpyOps::segment_table(profile);
    Ref indices;
    if (!find_change_points(profile, indices)) return TableStep::change_points;
    if (numpy_calls_) {
        if (!assign(table_change_points_, std::move(indices))) return TableStep::change_points;
        return table_from_change_points(profile);
    }
    table_rows_ = static_cast<Py_ssize_t>(change_points_.size()) + 1;
    npy_intp shape[2] = {table_rows_, 3};
    table_ = Ref::steal(PyArray_SimpleNew(2, shape, NPY_DOUBLE));
    if (!table_) return TableStep::table;
    auto* rows = static_cast<double*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(table_.get())));
    for (Py_ssize_t k = 0; k < table_rows_; ++k) {
        double start = k == 0 ? 0.0 : change_points_[k - 1];
        double end = k + 1 < table_rows_ ? change_points_[k] : static_cast<double>(profile.length - 1);
        rows[3 * k] = start;
        rows[3 * k + 1] = end;
        rows[3 * k + 2] = (end - start) + 1.0;
    }
    return TableStep::done;
}

Py_ssize_t NativeOps::table_rows() { return numpy_calls_ ? NumpyOps::table_rows() : table_rows_; }

bool NativeOps::table_lengths(FloatVector& out) {
    if (numpy_calls_) return NumpyOps::table_lengths(out);
    out.base = static_cast<const char*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(table_.get()))) +
               2 * sizeof(double);
    out.length = table_rows_;
    out.stride = 3 * sizeof(double);
    out.owner = table_;
    return true;
}

bool NativeOps::rows_over_total_length(double& out) {
    if (numpy_calls_) return NumpyOps::rows_over_total_length(out);
    FloatVector lengths;
    table_lengths(lengths);
    // whole-number lengths: their sum raises no flag
    out = static_cast<double>(table_rows_) / kernels::sum(doubles(lengths), conditions_.reduction_chunk).value;
    return true;
}

Ref NativeOps::table_list() {
    if (numpy_calls_) return NumpyOps::table_list();
    const auto* rows = static_cast<const double*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(table_.get())));
    Ref list = Ref::steal(PyList_New(table_rows_));
    if (!list) return {};
    for (Py_ssize_t k = 0; k < table_rows_; ++k) {
        Ref row = Ref::steal(PyList_New(3));
        if (!row) return {};
        for (Py_ssize_t j = 0; j < 3; ++j) {
            PyObject* value = PyFloat_FromDouble(rows[3 * k + j]);
            if (!value) return {};
            PyList_SET_ITEM(row.get(), j, value);
        }
        PyList_SET_ITEM(list.get(), k, row.release());
    }
    return list;
}

bool NativeOps::change_points_as_double(const FloatVector& profile) {
    if (numpy_calls_) return NumpyOps::change_points_as_double(profile);
    Ref indices;  // when NumPy made them, its .astype("double") is the same array as ours
    return find_change_points(profile, indices);
}

Py_ssize_t NativeOps::change_point_count() {
    return numpy_calls_ ? NumpyOps::change_point_count() : static_cast<Py_ssize_t>(change_points_.size());
}

bool NativeOps::gaps() {
    if (numpy_calls_) return NumpyOps::gaps();
    have_gaps_ = true;
    Py_ssize_t count = static_cast<Py_ssize_t>(change_points_.size()) - 1;
    if (!scratch_vector(Scratch::gaps, count, gaps_)) return false;
    auto* out = reinterpret_cast<double*>(const_cast<char*>(gaps_.base));
    // differences of whole-number indices: exact, no flag
    for (Py_ssize_t i = 0; i < count; ++i) out[i] = std::fabs(change_points_[i + 1] - change_points_[i]);
    return true;
}

bool NativeOps::gap_view(FloatVector& out) {
    if (numpy_calls_) return NumpyOps::gap_view(out);
    out = gaps_;
    return true;
}

int NativeOps::cut_positions(TypedFloatArray& weights, int scale, Py_ssize_t end, EndFilter filter,
                             const CutLines& lines) {
    if (numpy_calls_) return NumpyOps::cut_positions(weights, scale, end, filter, lines);
    have_cuts_ = true;
    // The running sum lands in cut_ itself and is filtered in place.
    unsigned flags = kernels::scaled_running_sum(doubles(weights.view), static_cast<double>(scale),
                                                 conditions_.reduction_chunk, cut_);
    bool finite = true;
    for (double c : cut_) finite = finite && std::isfinite(c);
    if (reported(flags) || !finite) {
        // NumPy's own statements, with their warnings, errors and NaN cuts
        if (int line = NumpyOps::cut_positions(weights, scale, end, filter, lines)) return line;
        cut_.clear();
        append_view(NumpyOps::cut_.view, cut_);
        return after_python_code() ? 0 : lines.add_bounds;
    }
    double bound = static_cast<double>(end);
    size_t kept = 0;
    for (double c : cut_) {
        if (c == 0.0) continue;
        if (filter == EndFilter::DropEqual ? c == bound : !(c < bound)) continue;
        cut_[kept++] = c;
    }
    cut_.resize(kept);
    cut_.insert(cut_.begin(), 0.0);
    cut_.push_back(bound);
    return 0;
}

Py_ssize_t NativeOps::cut_count() {
    return numpy_calls_ ? NumpyOps::cut_count() : static_cast<Py_ssize_t>(cut_.size());
}

double NativeOps::cut_at(Py_ssize_t j) {
    return numpy_calls_ ? NumpyOps::cut_at(j) : cut_[static_cast<size_t>(j)];
}

bool NativeOps::begin_pieces() {
    if (numpy_calls_) return NumpyOps::begin_pieces();
    // The pieces reach no further than the largest cut position; cut
    // positions without a 32-bit value are refused before any piece.
    double largest = 0.0;
    for (double c : cut_) largest = c > largest ? c : largest;
    npy_intp capacity = largest < 2147483648.0 ? static_cast<npy_intp>(largest) : 0;
    FloatVector view;
    if (!scratch_vector(Scratch::smoothed, capacity, view)) return false;
    smoothed_array_ = view.owner;
    smoothed_ = reinterpret_cast<double*>(const_cast<char*>(view.base));
    smoothed_capacity_ = view.length;
    smoothed_length_ = 0;
    pieces_.clear();
    pieces_.reserve(cut_.size());
    pieces_added_ = 0;
    return true;
}

bool NativeOps::reserve_smoothed(Py_ssize_t count) {
    if (count <= smoothed_capacity_ - smoothed_length_) return true;
    // Only cut positions that run backwards before the last pair outgrow the
    // first estimate; NumPy's nondecreasing running sums never do.
    Ref array;
    FloatVector view;
    if (!new_array(std::max(2 * smoothed_capacity_, smoothed_length_ + count), array, view)) return false;
    auto* grown = reinterpret_cast<double*>(const_cast<char*>(view.base));
    std::copy_n(smoothed_, smoothed_length_, grown);
    smoothed_array_ = std::move(array);
    smoothed_ = grown;
    smoothed_capacity_ = view.length;
    return true;
}

bool NativeOps::append_smoothed(double value, Py_ssize_t count) {
    if (!reserve_smoothed(count)) return false;
    pieces_.push_back({value, count});
    std::fill_n(smoothed_ + smoothed_length_, count, value);
    smoothed_length_ += count;
    ++pieces_added_;
    return true;
}

// np.mean of an empty segment, which warns: NumPy's own call. Rounding or
// repeating its float64 NaN is exact and silent, so that stays native.
bool NativeOps::empty_segment_mean(const FloatVector& segment, PyObject* then_name, Ref& then, Ref& mean) {
    then = np_attr(then_name);
    Ref mean_fn = then ? np_attr(names.mean) : Ref();
    Ref view = mean_fn ? make_view_object(segment) : Ref();
    mean = view ? call(mean_fn, {view.get()}) : Ref();
    return mean && after_python_code();
}

bool NativeOps::rounded_mean(const FloatVector& segment, double& out) {
    if (numpy_calls_) return NumpyOps::rounded_mean(segment, out);
    if (segment.is_none() || segment.length == 0) {
        Ref round, m;
        if (!empty_segment_mean(segment, names.round, round, m)) return false;
        if (!numpy_calls_ && Py_IS_TYPE(m.get(), &PyDoubleArrType_Type)) {
            out = std::rint(reinterpret_cast<PyDoubleScalarObject*>(m.get())->obval);
            return true;
        }
        Ref rounded = call(round, {m.get()});
        return rounded && to_double(rounded.get(), out) && after_python_code();
    }
    kernels::Result r = kernels::mean(doubles(segment), conditions_.reduction_chunk);
    if (reported(r.flags)) return NumpyOps::rounded_mean(segment, out) && after_python_code();
    out = std::rint(r.value);
    return true;
}

bool NativeOps::add_piece(double value, int length) {
    if (numpy_calls_) return NumpyOps::add_piece(value, length);
    return append_smoothed(value, length);
}

// A piece that NumPy made: into NumpyOps' list once the unit continues with
// its calls, else into the smoothed profile.
bool NativeOps::take_numpy_piece(const Ref& piece) {
    if (!piece) return false;
    if (numpy_calls_) return PyList_Append(NumpyOps::pieces_.get(), piece.get()) == 0;
    return append_piece_values(piece.get());
}

bool NativeOps::mean_piece(const FloatVector& segment, int length) {
    if (numpy_calls_) return NumpyOps::mean_piece(segment, length);
    bool empty = segment.is_none() || segment.length == 0;
    if (!empty && length >= 0) {
        kernels::Result r = kernels::mean(doubles(segment), conditions_.reduction_chunk);
        if (!reported(r.flags)) return append_smoothed(r.value, length);
    }
    if (empty && length == 0) {
        Ref repeat, m;
        if (!empty_segment_mean(segment, names.repeat, repeat, m)) return false;
        if (!numpy_calls_ && Py_IS_TYPE(m.get(), &PyDoubleArrType_Type)) {
            ++pieces_added_;  // an empty piece
            return true;
        }
        return take_numpy_piece(call(repeat, {m.get(), constants.int_0})) && after_python_code();
    }
    Ref piece = segment_mean_piece(segment, length);
    return piece && after_python_code() && take_numpy_piece(piece);
}

// The values of a piece that NumPy made, one piece per run of equal bits.
bool NativeOps::append_piece_values(PyObject* piece) {
    FloatVector values;
    if (!bind_vector(piece, kDouble, false, values) || !reserve_smoothed(values.length)) return false;
    for (Py_ssize_t i = 0; i < values.length; ++i) {
        double value = values[i];
        if (pieces_.empty() || i == 0 || std::memcmp(&value, &pieces_.back().value, sizeof value) != 0) {
            pieces_.push_back({value, 0});
        }
        ++pieces_.back().length;
        smoothed_[smoothed_length_++] = value;
    }
    ++pieces_added_;
    return true;
}

bool NativeOps::smoothed_profile(FloatVector& out) {
    if (numpy_calls_) return NumpyOps::smoothed_profile(out);
    out.base = reinterpret_cast<const char*>(smoothed_);
    out.length = smoothed_length_;
    out.stride = sizeof(double);
    out.owner = smoothed_array_;
    return true;
}

bool NativeOps::pieces_variance(double& out) {
    if (numpy_calls_) return NumpyOps::pieces_variance(out);
    FloatVector view;
    smoothed_profile(view);
    return var(view, out);
}

}  // namespace ombrix
