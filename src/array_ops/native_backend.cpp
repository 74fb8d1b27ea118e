#include "native_backend.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "../capi/calls.hpp"
#include "../capi/globals.hpp"
#include "../capi/numpy_api.hpp"
#include "../capi/pending_exception.hpp"
#include "../capi/process_state.hpp"
#include "../capi/python_code.hpp"
#include "../capi/scalars.hpp"
#include "../kernels/exact_sums.hpp"
#include "empty_mean.hpp"
#include "exact_segment_sums.hpp"
#include "scratch_arrays.hpp"
#include "segments.hpp"
#include <numpy/arrayscalars.h>

namespace ombrix {

namespace {

kernels::Doubles doubles(const FloatVector& v) { return {v.base, v.length, v.stride}; }

double* data_of(const Ref& array) {
    return static_cast<double*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(array.get())));
}

// A new float64 array holding a copy of `count` contiguous values.
Ref array_of(const double* values, Py_ssize_t count) {
    npy_intp size = count;
    Ref array = Ref::steal(PyArray_SimpleNew(1, &size, NPY_DOUBLE));
    if (array) std::copy_n(values, count, data_of(array));
    return array;
}

// The NumPy form of values that the native backend made, for a hand-over.
bool give_numpy_form(FloatValues& values) {
    if (values.array.object) return true;
    auto* data = reinterpret_cast<const double*>(values.values.base);  // scratch: contiguous
    return assign(values.array, array_of(data, values.values.length));
}

// Change points in the form that the NumPy operation reads: their float64
// positions, or their int64 indices.
struct AsDoubles {
    ChangePoints& found;
};
struct AsIndices {
    ChangePoints& found;
};

bool give_numpy_form(const AsDoubles& form) {
    ChangePoints& found = form.found;
    if (found.as_double.object) return true;
    return assign(found.as_double, array_of(found.positions.data(), static_cast<Py_ssize_t>(found.positions.size())));
}

bool give_numpy_form(const AsIndices& form) {
    ChangePoints& found = form.found;
    if (found.indices.object) return true;
    npy_intp size = static_cast<npy_intp>(found.positions.size());
    Ref array = Ref::steal(PyArray_SimpleNew(1, &size, NPY_INT64));
    if (!array) return false;
    auto* data = static_cast<npy_int64*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(array.get())));
    for (npy_intp i = 0; i < size; ++i) data[i] = static_cast<npy_int64>(found.positions[static_cast<size_t>(i)]);
    return assign(found.indices, std::move(array));
}

bool give_numpy_form(CutPositions& cut) {
    if (!cut.native) return true;
    if (!assign(cut.array, array_of(cut.positions.data(), static_cast<Py_ssize_t>(cut.positions.size())))) {
        return false;
    }
    cut.native = false;
    return true;
}

// Room for `total` values in the written-out profile. Only cut positions
// that run backwards before the last pair outgrow the first estimate;
// NumPy's nondecreasing running sums never do.
bool reserve(Pieces& pieces, Py_ssize_t total) {
    if (total <= pieces.capacity) return true;
    npy_intp size = std::max(2 * pieces.capacity, total);
    Ref grown = Ref::steal(PyArray_SimpleNew(1, &size, NPY_DOUBLE));
    if (!grown) return false;
    std::copy_n(pieces.data, pieces.written, data_of(grown));
    pieces.array = std::move(grown);
    pieces.data = data_of(pieces.array);
    pieces.capacity = size;
    return true;
}

// Writes runs[written_runs..] into data from position `written`, which
// both then count them.
void write_runs(double* data, const std::vector<Pieces::Run>& runs, Py_ssize_t& written, size_t& written_runs) {
    for (; written_runs < runs.size(); ++written_runs) {
        kernels::fill(data + written, runs[written_runs].length, runs[written_runs].value);
        written += runs[written_runs].length;
    }
}

// Writes the runs not yet written into the profile's array.
bool write_out(Pieces& pieces) {
    if (!reserve(pieces, pieces.length)) return false;
    write_runs(pieces.data, pieces.runs, pieces.written, pieces.written_runs);
    return true;
}

// Whether the variance by runs costs less than the element-wise kernel: a
// 128-element block of the pairwise sum inside one run costs a few
// additions, one across a run boundary a few more per group of eight than
// the kernel's, so it pays once the runs are long. The kernel also needs
// the profile written out, which costs about a third of it when it is not
// written yet.
bool worth_runs(const std::vector<Pieces::Run>& runs, Py_ssize_t length, bool written_out) {
    // positions per run from which the runs win, measured in instructions
    // (n = 200 to 20 000, 5 to 200 runs)
    Py_ssize_t span = 256;
    if (!written_out) span = 60;
    return length >= span * static_cast<Py_ssize_t>(runs.size());
}

// The profile's array, as long as the runs.
FloatVector smoothed_view(const Pieces& pieces) {
    FloatVector view;
    view.base = reinterpret_cast<const char*>(pieces.data);
    view.length = pieces.length;
    view.stride = sizeof(double);
    view.owner = pieces.array;
    return view;
}

// The pieces so far as one: their concatenation is the same array.
bool give_numpy_form(Pieces& pieces) {
    if (!pieces.native) return true;
    if (!write_out(pieces)) return false;
    pieces.list = Ref::steal(PyList_New(0));
    if (!pieces.list) return false;
    if (pieces.added > 0) {
        Ref so_far = array_of(pieces.data, pieces.length);
        if (!so_far || PyList_Append(pieces.list.get(), so_far.get()) < 0) return false;
    }
    pieces.native = false;
    return true;
}

using FloatLoop = PyUFuncGenericFunction;

// exp(s) by np.exp's own float64 loop, one element, with the flags it raised.
unsigned exp_by_loop(double s, double& e) {
    char* args[2] = {reinterpret_cast<char*>(&s), reinterpret_cast<char*>(&e)};
    npy_intp count = 1;
    npy_intp steps[2] = {sizeof(double), sizeof(double)};
    kernels::clear_fp_flags();
    reinterpret_cast<FloatLoop>(startup_numpy.exp_loop)(args, &count, steps, startup_numpy.exp_loop_data);
    return kernels::current_flags();
}

// Whether the loop gives np.exp's own results: checked once, on arguments
// whose results raise no flag, against NumPy's calls.
bool exp_loop_verified() {
    if (startup_numpy.exp_loop_state != 0) return startup_numpy.exp_loop_state > 0;
    startup_numpy.exp_loop_state = -1;
    if (!startup_numpy.exp_loop) return false;
    for (double s : {-700.0, -20.5, -1.0, -1e-300, 0.0, 0.5, 1.0, 2.718281828459045, 30.25, 700.0}) {
        Ref s_obj = Ref::steal(PyFloat_FromDouble(s));
        Ref e = s_obj ? call(Ref::borrow(startup_numpy.exp), {s_obj.get()}) : Ref();
        double by_loop = 0.0;
        if (!e || !Py_IS_TYPE(e.get(), &PyDoubleArrType_Type) || exp_by_loop(s, by_loop) != 0) {
            PyErr_Clear();
            return false;
        }
        double by_call = reinterpret_cast<PyDoubleScalarObject*>(e.get())->obval;
        if (std::memcmp(&by_call, &by_loop, sizeof by_loop) != 0) return false;
    }
    startup_numpy.exp_loop_state = 1;
    return true;
}

// Weights that the native statements may divide in place, as NumPy's
// in-place division does: a plain writable array (a subclass could define
// its own arithmetic).
bool plain_writable_array(const TypedFloatArray& weights) {
    PyObject* object = weights.object.get();
    return PyArray_CheckExact(object) && PyArray_ISWRITEABLE(reinterpret_cast<PyArrayObject*>(object));
}

}  // namespace

namespace {

// The empty mean last found silent, and when: it stays silent from one unit
// to the next (the backgrounds of a call) until Python code may have run.
struct SilentSince {
    const EmptyMean* mean = nullptr;
    unsigned long long points = 0;
};

SilentSince silent_since;

}  // namespace

NativeBackend::NativeBackend(const NativeConditions& conditions) : conditions_(conditions) {
    if (silent_since.mean && silent_since.points == python_code_points) silent_empty_mean_ = silent_since.mean;
}

// Every operation that NumPy makes goes through here: its values in NumPy's
// form first, then the call, then the gate asked again, since Python code may
// have run (a warning, an error callback, a subclass's method, a collection).
// A default-made result (nullopt, false, an empty Ref) is a failure, pending.
template <class NumpyCall, class... Values>
auto NativeBackend::hand_over(NumpyCall&& numpy_call, Values&&... values) -> decltype(numpy_call()) {
    using Made = decltype(numpy_call());
    write_smoothed_profile();
    before_python_code();
    Made made{};
    if ((give_numpy_form(values) && ...)) made = numpy_call();
    after_python_code();
    return made;
}

void NativeBackend::after_python_code() {
    silent_empty_mean_ = nullptr;
    if (gate_closed_) return;
    // The NumPy call may have failed: its exception waits while the gate is asked.
    Ref pending = take_pending_exception();
    NativeConditions now;
    if (native_conditions(now)) {
        conditions_ = now;  // the error state may have changed too
    } else {
        gate_closed_ = true;
    }
    restore_pending_exception(std::move(pending));
}

template <class NumpyCall>
std::optional<double> NativeBackend::reduce(const FloatVector& v,
                                            kernels::Result (*kernel)(kernels::Doubles, std::ptrdiff_t),
                                            NumpyCall&& numpy_call) {
    if (!gate_closed_ && !v.is_none() && v.length > 0) {
        make_readable(v);
        kernels::Result r = kernel(doubles(v), conditions_.reduction_chunk);
        if (!reported(r.flags)) return r.value;
    }
    return hand_over(numpy_call);
}

std::optional<double> NativeBackend::mean(const FloatVector& v) {
    return reduce(v, kernels::mean, [&] { return numpy_.mean(v); });
}

std::optional<double> NativeBackend::std(const FloatVector& v) {
    return reduce(v, kernels::standard_deviation, [&] { return numpy_.std(v); });
}

std::optional<double> NativeBackend::var(const FloatVector& v) {
    if (!gate_closed_ && is_smoothed_profile(v) && worth_runs(smoothed_runs_, v.length, !smoothed_pending_)) {
        // the smoothed profile by its runs: the same bits and flags, less work
        kernels::Result r = kernels::variance_of_runs(smoothed_runs_.data(),
                                                      static_cast<std::ptrdiff_t>(smoothed_runs_.size()),
                                                      conditions_.reduction_chunk);
        if (!reported(r.flags)) return r.value;
    }
    if (!gate_closed_ && is_smoothed_profile(v) && v.length > 0) return runs_variance(v, smoothed_runs_);
    return reduce(v, kernels::variance, [&] { return numpy_.var(v); });
}

std::optional<double> NativeBackend::runs_variance(const FloatVector& v, const std::vector<Pieces::Run>& runs) {
    make_readable(v);
    kernels::Result r = kernels::variance_with_runs(doubles(v), runs.data(), static_cast<std::ptrdiff_t>(runs.size()),
                                                    conditions_.reduction_chunk);
    if (!reported(r.flags)) return r.value;
    return hand_over([&] { return numpy_.var(v); });
}

bool NativeBackend::is_smoothed_profile(const FloatVector& v) const {
    return smoothed_base_ && v.base == smoothed_base_ && v.length == smoothed_length_ &&
           v.stride == sizeof(double);
}

// The differences of a profile made of constant pieces are m - m inside a
// piece and the step between pieces: computing each of them once gives the
// change points and the flags of the element-by-element differences.
unsigned NativeBackend::smoothed_change_points(std::vector<double>& positions) const {
    positions.reserve(smoothed_runs_.size());  // one a step, unless a run's m - m is not 0 (NaN, infinity)
    kernels::clear_fp_flags();
    Py_ssize_t position = 0;
    double previous = 0.0;
    volatile double sink = 0.0;  // keeps every difference ahead of the flag test
    for (const Pieces::Run& run : smoothed_runs_) {
        if (run.length == 0) continue;
        if (position > 0) {
            double step = run.value - previous;
            sink = step;
            if (step != 0) positions.push_back(static_cast<double>(position - 1));
        }
        // m - m of a finite m is +0.0 and raises nothing
        if (run.length > 1 && !std::isfinite(run.value)) {
            double inside = run.value - run.value;
            sink = inside;
            if (inside != 0) {
                for (Py_ssize_t i = 0; i + 1 < run.length; ++i) positions.push_back(static_cast<double>(position + i));
            }
        }
        previous = run.value;
        position += run.length;
    }
    (void)sink;
    return kernels::current_flags();
}

unsigned NativeBackend::find_change_points(const FloatVector& profile, std::vector<double>& positions) {
    if (is_smoothed_profile(profile)) return smoothed_change_points(positions);
    make_readable(profile);
    return kernels::change_points(doubles(profile), positions);
}

std::optional<ChangePoints> NativeBackend::change_points(const FloatVector& profile) {
    // None only ever reaches the NumPy-call backend: the caller picks it for such a call.
    if (!gate_closed_) {
        ChangePoints found;
        found.native = true;
        if (!reported(find_change_points(profile, found.positions))) return found;
    }
    std::optional<ChangePoints> made = hand_over([&] { return numpy_.change_points(profile); });  // NumPy's warnings
    if (!made) return std::nullopt;
    // their positions too, for the native statements that follow
    made->native = true;
    const Int64Vector& indices = made->indices.view;
    for (Py_ssize_t i = 0; i < indices.length; ++i) made->positions.push_back(static_cast<double>(indices[i]));
    return made;
}

std::optional<ChangePoints> NativeBackend::change_points_as_double(const FloatVector& profile) {
    if (!gate_closed_) {
        ChangePoints found;
        found.native = true;
        if (!reported(find_change_points(profile, found.positions))) return found;
    }
    std::optional<ChangePoints> made = hand_over([&] { return numpy_.change_points_as_double(profile); });
    if (!made) return std::nullopt;
    made->native = true;
    const FloatVector& values = made->as_double.view;
    for (Py_ssize_t i = 0; i < values.length; ++i) made->positions.push_back(values[i]);
    return made;
}

std::optional<FloatValues> NativeBackend::gaps(ChangePoints& change_points) {
    if (gate_closed_) return hand_over([&] { return numpy_.gaps(change_points); }, AsDoubles{change_points});
    const std::vector<double>& positions = change_points.positions;
    FloatValues gaps;
    gaps.native = true;
    Py_ssize_t count = static_cast<Py_ssize_t>(positions.size()) - 1;
    if (!scratch_vector(Scratch::gaps, count, gaps.values)) return std::nullopt;
    auto* out = reinterpret_cast<double*>(const_cast<char*>(gaps.values.base));
    // differences of whole-number indices: exact, no flag
    for (Py_ssize_t i = 0; i < count; ++i) out[i] = std::fabs(positions[i + 1] - positions[i]);
    return gaps;
}

std::optional<FloatVector> NativeBackend::bound_view(FloatValues& values) {
    if (gate_closed_ || !values.native) return hand_over([&] { return numpy_.bound_view(values); }, values);
    return values.values;
}

std::optional<SegmentTable> NativeBackend::zero_table(ChangePoints& change_points) {
    if (gate_closed_) return hand_over([&] { return numpy_.zero_table(change_points); }, AsIndices{change_points});
    Py_ssize_t rows = static_cast<Py_ssize_t>(change_points.positions.size()) + 1;
    npy_intp shape[2] = {rows, 3};
    Ref array = Ref::steal(PyArray_ZEROS(2, shape, NPY_DOUBLE, 0));
    if (!array) return std::nullopt;
    SegmentTable table;
    FloatMatrix& view = table.array.view;
    view.base = reinterpret_cast<const char*>(data_of(array));
    view.shape[0] = rows;
    view.shape[1] = 3;
    view.strides[0] = 3 * sizeof(double);
    view.strides[1] = sizeof(double);
    view.owner = array;
    table.array.object = std::move(array);
    return table;
}

namespace {

// Column `column` of row `row` of a table the native backend made.
double& cell(SegmentTable& table, Py_ssize_t row, int column) {
    return reinterpret_cast<double*>(const_cast<char*>(table.array.view.base))[3 * row + column];
}

}  // namespace

bool NativeBackend::set_starts(SegmentTable& table, ChangePoints& change_points) {
    if (gate_closed_) {
        return hand_over([&] { return numpy_.set_starts(table, change_points); }, AsIndices{change_points});
    }
    for (Py_ssize_t k = 0; k < table.rows(); ++k) {
        cell(table, k, 0) = k == 0 ? 0.0 : change_points.positions[static_cast<size_t>(k - 1)];
    }
    return true;
}

bool NativeBackend::set_ends(SegmentTable& table, ChangePoints& change_points, Py_ssize_t last_index) {
    if (gate_closed_) {
        return hand_over([&] { return numpy_.set_ends(table, change_points, last_index); }, AsIndices{change_points});
    }
    Py_ssize_t rows = table.rows();
    for (Py_ssize_t k = 0; k < rows; ++k) {
        cell(table, k, 1) = k + 1 < rows ? change_points.positions[static_cast<size_t>(k)]
                                         : static_cast<double>(last_index);
    }
    return true;
}

bool NativeBackend::set_lengths(SegmentTable& table) {
    if (gate_closed_) return hand_over([&] { return numpy_.set_lengths(table); });
    // whole numbers: exact, no flag
    for (Py_ssize_t k = 0; k < table.rows(); ++k) cell(table, k, 2) = (cell(table, k, 1) - cell(table, k, 0)) + 1.0;
    return true;
}

std::optional<FloatVector> NativeBackend::length_column(SegmentTable& table) {
    if (gate_closed_) return hand_over([&] { return numpy_.length_column(table); });
    FloatVector column;
    column.base = table.array.view.base + 2 * sizeof(double);
    column.length = table.rows();
    column.stride = 3 * sizeof(double);
    column.owner = table.array.object;
    return column;
}

std::optional<double> NativeBackend::rows_over_total_length(SegmentTable& table) {
    if (gate_closed_) return hand_over([&] { return numpy_.rows_over_total_length(table); });
    // whole-number lengths: their sum raises no flag
    double total = kernels::sum(doubles(*length_column(table)), conditions_.reduction_chunk).value;
    return static_cast<double>(table.rows()) / total;
}

Ref NativeBackend::table_list(SegmentTable& table) {
    if (gate_closed_) return hand_over([&] { return numpy_.table_list(table); });
    Ref list = Ref::steal(PyList_New(table.rows()));
    if (!list) return {};
    for (Py_ssize_t k = 0; k < table.rows(); ++k) {
        Ref row = Ref::steal(PyList_New(3));
        if (!row) return {};
        for (int j = 0; j < 3; ++j) {
            PyObject* value = PyFloat_FromDouble(cell(table, k, j));
            if (!value) return {};
            PyList_SET_ITEM(row.get(), j, value);
        }
        PyList_SET_ITEM(list.get(), k, row.release());
    }
    return list;
}

bool NativeBackend::normalise(TypedFloatArray& weights) {
    if (!gate_closed_ && plain_writable_array(weights)) {
        kernels::Result total = kernels::sum(doubles(weights.view), conditions_.reduction_chunk);
        // kept from one background to the next; nothing runs between the
        // division and the copy that could use it again
        static std::vector<double> quotients;
        if (!reported(total.flags) && !reported(kernels::divide(doubles(weights.view), total.value, quotients))) {
            auto* out = const_cast<char*>(weights.view.base);
            if (weights.view.stride == sizeof(double)) {
                std::memcpy(out, quotients.data(), quotients.size() * sizeof(double));
                return true;
            }
            for (size_t i = 0; i < quotients.size(); ++i) {
                std::memcpy(out + static_cast<Py_ssize_t>(i) * weights.view.stride, &quotients[i], sizeof(double));
            }
            return true;
        }
    }
    return hand_over([&] { return numpy_.normalise(weights); });  // with NumPy's warnings and errors
}

std::optional<CutPositions> NativeBackend::rounded_running_sum(TypedFloatArray& weights, int scale) {
    if (!gate_closed_ && plain_writable_array(weights)) {
        CutPositions cut;
        cut.native = true;
        // room for the two bounds that add_bounds puts around them
        cut.positions.reserve(static_cast<size_t>(weights.view.length) + 2);
        unsigned flags = kernels::rounded_running_sum(doubles(weights.view), static_cast<double>(scale), cut.positions);
        bool finite = std::all_of(cut.positions.begin(), cut.positions.end(), [](double c) { return std::isfinite(c); });
        // rint's integers, and sums of integers, which stay whole however they round
        cut.whole = true;
        if (!reported(flags) && finite) return cut;
    }
    // NumPy's own statements from here on, with their warnings, errors and NaN cuts
    return hand_over([&] { return numpy_.rounded_running_sum(weights, scale); });
}

bool NativeBackend::drop_zeros(CutPositions& cut) {
    if (gate_closed_ || !cut.native) return hand_over([&] { return numpy_.drop_zeros(cut); }, cut);
    std::erase(cut.positions, 0.0);
    return true;
}

bool NativeBackend::drop_end(CutPositions& cut, Py_ssize_t end, EndFilter filter) {
    if (gate_closed_ || !cut.native) return hand_over([&] { return numpy_.drop_end(cut, end, filter); }, cut);
    double bound = static_cast<double>(end);
    std::erase_if(cut.positions, [&](double c) { return filter == EndFilter::DropEqual ? c == bound : !(c < bound); });
    return true;
}

bool NativeBackend::add_bounds(CutPositions& cut, Py_ssize_t end) {
    if (gate_closed_ || !cut.native) return hand_over([&] { return numpy_.add_bounds(cut, end); }, cut);
    cut.positions.insert(cut.positions.begin(), 0.0);
    cut.positions.push_back(static_cast<double>(end));
    return true;
}

std::optional<Py_ssize_t> NativeBackend::cut_count(CutPositions& cut) {
    if (gate_closed_ || !cut.native) return hand_over([&] { return numpy_.cut_count(cut); }, cut);
    return static_cast<Py_ssize_t>(cut.positions.size());
}

std::optional<Pieces> NativeBackend::begin_pieces(const CutPositions& cut) {
    if (gate_closed_) return hand_over([&] { return numpy_.begin_pieces(cut); });
    // The pieces reach no further than the largest cut position; cut
    // positions without a 32-bit value are refused before any piece.
    Py_ssize_t cut_total = cut.native ? static_cast<Py_ssize_t>(cut.positions.size()) : cut.array.view.length;
    double largest = 0.0;
    if (cut.native) {
        for (double c : cut.positions) largest = std::max(largest, c);
    } else {
        for (Py_ssize_t j = 0; j < cut_total; ++j) largest = std::max(largest, cut.array.view[j]);
    }
    npy_intp capacity = largest < 2147483648.0 ? static_cast<npy_intp>(largest) : 0;
    FloatVector view;
    if (!scratch_vector(Scratch::smoothed, capacity, view)) return std::nullopt;
    Pieces pieces;
    pieces.native = true;
    pieces.array = view.owner;
    pieces.data = reinterpret_cast<double*>(const_cast<char*>(view.base));
    pieces.capacity = view.length;
    pieces.runs.reserve(static_cast<size_t>(cut_total));
    return pieces;
}

bool NativeBackend::append_run(Pieces& pieces, double value, Py_ssize_t count) {
    pieces.runs.push_back({value, count});
    pieces.length += count;
    ++pieces.added;
    return true;
}

Ref NativeBackend::empty_segment_mean(const FloatVector& segment, PyObject* then_name, Ref& then) {
    then = np_attr(then_name);
    if (!then) return {};
    if (!segment.is_none() && silent_empty_mean_) return Ref::borrow(silent_empty_mean_->value);
    if (const EmptyMean* replay = segment.is_none() ? nullptr : replayable_empty_mean()) {
        if (!hand_over([&] { return issue_empty_mean_warnings(*replay); })) return {};
        // Issued once, they may do nothing from now on until Python code runs.
        if (!gate_closed_) {
            silent_empty_mean_ = silent_empty_mean();
            silent_since = {silent_empty_mean_, python_code_points};
        }
        return Ref::borrow(replay->value);
    }
    return hand_over([&] { return NumpyCallBackend::segment_mean(segment); });
}

std::optional<double> NativeBackend::rounded_mean(const FloatVector& segment) {
    if (gate_closed_) return hand_over([&] { return numpy_.rounded_mean(segment); });
    if (segment.is_none() || segment.length == 0) {
        Ref round;
        Ref m = empty_segment_mean(segment, names.round, round);
        if (!m) return std::nullopt;
        // Rounding its float64 NaN is exact and silent, so that stays native.
        if (!gate_closed_ && Py_IS_TYPE(m.get(), &PyDoubleArrType_Type)) {
            return std::rint(reinterpret_cast<PyDoubleScalarObject*>(m.get())->obval);
        }
        Ref rounded = hand_over([&] { return call(round, {m.get()}); });
        double value = 0.0;
        if (!rounded || !to_double(rounded.get(), value)) return std::nullopt;
        return value;
    }
    make_readable(segment);
    kernels::Result r = kernels::mean(doubles(segment), conditions_.reduction_chunk);
    if (!reported(r.flags)) return std::rint(r.value);
    return hand_over([&] { return numpy_.rounded_mean(segment); });
}

bool NativeBackend::add_piece(Pieces& pieces, double value, int length) {
    if (gate_closed_ || !pieces.native) {
        return hand_over([&] { return numpy_.add_piece(pieces, value, length); }, pieces);
    }
    return append_run(pieces, value, length);
}

// Stops before a segment that the one-by-one steps must make: one where the
// loop checks for signals, a cut position with no integer value (the loop
// raises), an empty segment (its mean warns), a mean whose arithmetic raised
// a flag NumPy reports, or for means, a backwards segment (np.repeat refuses
// its length); rounded, a backwards segment is skipped as the loop skips it.
// No Python code runs, so the gate stays as it was asked.
int NativeBackend::pieces_at_once(const FloatVector& data, const CutPositions& cut, int first, int segments,
                                  Pieces& pieces, std::vector<kernels::Run>* rounded_made) {
    if (gate_closed_ || !pieces.native || !cut.native || data.is_none()) return first;
    make_readable(data);
    // One flag window for the whole stretch. It also sees flags that no mean
    // raised (a conversion to single precision, say), so a flag NumPy would
    // report makes the stretch again with a window a mean, which stops
    // before the mean that raised it.
    const size_t runs = pieces.runs.size(), made = rounded_made ? rounded_made->size() : 0;
    const Py_ssize_t length = pieces.length, added = pieces.added;
    kernels::clear_fp_flags();
    int j = segments_at_once(data, cut, first, segments, pieces, rounded_made, false);
    if (!reported(kernels::current_flags())) return j;
    pieces.runs.resize(runs);
    if (rounded_made) rounded_made->resize(made);
    pieces.length = length;
    pieces.added = added;
    return segments_at_once(data, cut, first, segments, pieces, rounded_made, true);
}

int NativeBackend::segments_at_once(const FloatVector& data, const CutPositions& cut, int first, int segments,
                                    Pieces& pieces, std::vector<kernels::Run>* rounded_made, bool window_each) {
    [[maybe_unused]] volatile double sink = 0.0;  // keeps every mean ahead of the flag test
    // A profile of integer copy states: each mean from its running sums,
    // exact, so no flag is raised.
    const std::vector<double>* sums = exact_segment_sums(data);
    // The segment [low, high) (high > low) as a piece of `count`; false
    // where its mean raised a flag that its own window reports.
    auto make = [&](Py_ssize_t low, Py_ssize_t high, int count) {
        kernels::Doubles segment{data.base + low * data.stride, high - low, data.stride};
        double mean = 0.0;
        if (sums && high - low >= kernels::kShortestSummedStretch) {
            mean = kernels::exact_stretch_mean({data.base, data.length, data.stride}, *sums, low, high);
        } else if (window_each) {
            kernels::Result r = kernels::mean(segment, conditions_.reduction_chunk);
            if (reported(r.flags)) return false;
            mean = r.value;
        } else {
            mean = kernels::mean_value(segment, conditions_.reduction_chunk);
            sink = mean;
        }
        if (!rounded_made) return append_run(pieces, mean, count);
        double m = static_cast<double>(static_cast<float>(std::rint(mean)));  // held in single precision
        append_run(pieces, m, count);
        rounded_made->push_back({m, count});
        return true;
    };
    const double* positions = cut.positions.data();
    int j = first;
    // Whole cut positions from 0 to the length, in order, as the rounded
    // running sums are, convert and clamp to themselves: their segments are
    // made without either.
    const auto length = static_cast<double>(std::min<Py_ssize_t>(data.length, 2147483647));
    if (cut.whole && j < segments && positions[j] >= 0.0 && positions[j] <= length) {
        for (; j < segments; ++j) {
            double from = positions[j], to = positions[j + 1];
            if (!(to >= from && to <= length)) break;  // the general loop takes it from here
            if ((j & 1023) == 1023) return j;
            auto start = static_cast<int>(from), end = static_cast<int>(to);
            if (end == start || !make(start, end, end - start)) return j;  // an empty segment: one by one
        }
    }
    int start = 0, end = 0;  // each position converted once: the end of one segment starts the next
    if (j < segments && !cut_to_int(positions[j], start)) return j;
    for (; j < segments; ++j, start = end) {
        if ((j & 1023) == 1023 || !cut_to_int(positions[j + 1], end)) break;
        if (end < start) {
            if (rounded_made) continue;
            break;
        }
        Py_ssize_t low = clamped_index(start, data.length), high = clamped_index(end, data.length);
        if (high <= low || !make(low, high, end - start)) break;
    }
    return j;
}

int NativeBackend::rounded_single_pieces(const FloatVector& data, const CutPositions& cut, int first, int segments,
                                         Pieces& pieces, std::vector<kernels::Run>& made) {
    return pieces_at_once(data, cut, first, segments, pieces, &made);
}

int NativeBackend::mean_pieces(const FloatVector& data, const CutPositions& cut, int first, int segments,
                               Pieces& pieces) {
    return pieces_at_once(data, cut, first, segments, pieces, nullptr);
}

// A piece that NumPy made (its hand-over has asked the gate): into NumPy's
// list once the unit continues with its calls, else into the smoothed
// profile. Neither runs Python code.
bool NativeBackend::take_numpy_piece(Pieces& pieces, const Ref& piece) {
    if (!piece) return false;
    if (gate_closed_) return give_numpy_form(pieces) && PyList_Append(pieces.list.get(), piece.get()) == 0;
    return append_piece_values(pieces, piece.get());
}

bool NativeBackend::mean_piece(Pieces& pieces, const FloatVector& segment, int length) {
    if (gate_closed_ || !pieces.native) {
        return hand_over([&] { return numpy_.mean_piece(pieces, segment, length); }, pieces);
    }
    bool empty = segment.is_none() || segment.length == 0;
    if (!empty && length >= 0) {
        make_readable(segment);
        kernels::Result r = kernels::mean(doubles(segment), conditions_.reduction_chunk);
        if (!reported(r.flags)) return append_run(pieces, r.value, length);
    }
    if (empty && length >= 0) {
        Ref repeat;
        Ref m = empty_segment_mean(segment, names.repeat, repeat);
        if (!m) return false;
        // Repeating its float64 NaN is exact and silent: a run of it, or
        // no times, an empty piece.
        if (!gate_closed_ && Py_IS_TYPE(m.get(), &PyDoubleArrType_Type)) {
            if (length > 0) return append_run(pieces, PyArrayScalar_VAL(m.get(), Double), length);
            ++pieces.added;
            return true;
        }
        Ref count = Ref::steal(PyLong_FromLong(length));
        if (!count) return false;
        return take_numpy_piece(pieces, hand_over([&] { return call(repeat, {m.get(), count.get()}); }));
    }
    return take_numpy_piece(pieces, hand_over([&] { return NumpyCallBackend::segment_mean_piece(segment, length); }));
}

// The values of a piece that NumPy made, one run per stretch of equal bits.
bool NativeBackend::append_piece_values(Pieces& pieces, PyObject* piece) {
    FloatVector values;
    if (!bind_vector(piece, kDouble, false, values) || !write_out(pieces) ||
        !reserve(pieces, pieces.length + values.length)) {
        return false;
    }
    for (Py_ssize_t i = 0; i < values.length; ++i) {
        double value = values[i];
        if (pieces.runs.empty() || i == 0 || std::memcmp(&value, &pieces.runs.back().value, sizeof value) != 0) {
            pieces.runs.push_back({value, 0});
        }
        ++pieces.runs.back().length;
        pieces.data[pieces.written++] = value;
    }
    pieces.length = pieces.written;
    pieces.written_runs = pieces.runs.size();
    ++pieces.added;
    return true;
}

std::optional<double> NativeBackend::pieces_variance(Pieces& pieces) {
    if (gate_closed_ || !pieces.native) return hand_over([&] { return numpy_.pieces_variance(pieces); }, pieces);
    if (worth_runs(pieces.runs, pieces.length, pieces.written == pieces.length)) {
        kernels::Result r = kernels::variance_of_runs(pieces.runs.data(), static_cast<std::ptrdiff_t>(pieces.runs.size()),
                                                      conditions_.reduction_chunk);
        if (!reported(r.flags)) return r.value;
    }
    if (!write_out(pieces)) return std::nullopt;
    FloatVector view = smoothed_view(pieces);
    if (view.length > 0) return runs_variance(view, pieces.runs);  // the squares element by element
    return var(view);  // NumPy's call with its warnings
}

std::optional<FloatVector> NativeBackend::smoothed_profile(Pieces& pieces) {
    if (gate_closed_ || !pieces.native) return hand_over([&] { return numpy_.smoothed_profile(pieces); }, pieces);
    // Its elements are written when something reads them (make_readable(),
    // and every hand-over): the change points and the variance by runs need none.
    if (!reserve(pieces, pieces.length)) return std::nullopt;
    FloatVector view = smoothed_view(pieces);
    smoothed_base_ = view.base;
    smoothed_length_ = view.length;
    smoothed_array_ = pieces.array;
    smoothed_written_ = pieces.written;
    smoothed_written_runs_ = pieces.written_runs;
    smoothed_pending_ = true;
    smoothed_runs_.swap(pieces.runs);
    return view;
}

void NativeBackend::write_smoothed_profile() {
    if (!smoothed_pending_) return;
    smoothed_pending_ = false;
    write_runs(data_of(smoothed_array_), smoothed_runs_, smoothed_written_, smoothed_written_runs_);
}

void NativeBackend::make_readable(const FloatVector& v) {
    if (!smoothed_pending_ || v.is_none()) return;
    const char* end = smoothed_base_ + smoothed_length_ * static_cast<Py_ssize_t>(sizeof(double));
    if (v.base >= smoothed_base_ && v.base < end) write_smoothed_profile();  // a view of the profile
}

std::optional<double> NativeBackend::logistic_weight(const Ref& exp_fn, double s, PyObject* one) {
    if (!gate_closed_ && exp_fn.get() == startup_numpy.exp && exp_loop_verified()) {
        double e = 0.0;
        if (!reported(exp_by_loop(s, e))) {
            // NumPy's float64 scalar sum and quotient; any flag leaves the
            // reporting to NumPy's own operators
            kernels::Result w = kernels::logistic(e);
            if (!w.flags) return w.value;
        }
    }
    return hand_over([&] { return numpy_.logistic_weight(exp_fn, s, one); });
}

}  // namespace ombrix
