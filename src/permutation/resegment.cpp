#include "resegment.hpp"

#include "../module/module_state.hpp"
#include "../module/names.hpp"
#include "../module/numpy_calls.hpp"

namespace ombrix {

namespace {

// cut[cut <op> bound], with the comparison made by NumPy.
Ref select(const TypedFloatArray& cut, PyObject* bound, int op) {
    Ref mask = Ref::steal(PyObject_RichCompare(cut.object.get(), bound, op));
    return mask ? Ref::steal(PyObject_GetItem(cut.object.get(), mask.get())) : Ref();
}

}  // namespace

int make_cut_positions(TypedFloatArray& weights, int scale, Py_ssize_t end, EndFilter filter,
                       const CutLines& lines, TypedFloatArray& cut) {
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
        if (!assign(cut, rounded ? call(cumsum, {rounded.get()}) : Ref())) return lines.cut_positions;
    }
    if (!assign(cut, select(cut, constants.int_0, Py_NE))) return lines.drop_zero;
    Ref end_obj = Ref::steal(PyLong_FromSsize_t(end));
    if (!end_obj) return lines.drop_end;
    int op = filter == EndFilter::DropEqual ? Py_NE : Py_LT;
    if (!assign(cut, select(cut, end_obj.get(), op))) return lines.drop_end;
    {
        Ref concatenate = np_attr(names.concatenate);
        Ref first = concatenate ? one_item_list(constants.int_0) : Ref();
        Ref last = first ? one_item_list(end_obj.get()) : Ref();
        Ref parts = last ? Ref::steal(PyTuple_Pack(3, first.get(), cut.object.get(), last.get()))
                         : Ref();
        if (!assign(cut, parts ? call(concatenate, {parts.get()}) : Ref())) return lines.add_bounds;
    }
    return 0;
}

FloatVector clamped_segment(const FloatVector& data, Py_ssize_t start, Py_ssize_t end) {
    if (data.is_none()) return {};
    Py_ssize_t length = data.length;
    auto clamp = [length](Py_ssize_t index) {
        if (index < 0) index += length;
        if (index < 0) return Py_ssize_t{0};
        return index > length ? length : index;
    };
    start = clamp(start);
    end = clamp(end);
    return subview(data, start, end > start ? end : start);
}

Ref random_call(PyObject* name, std::initializer_list<PyObject*> args, PyObject* kwnames) {
    Ref random = np_attr(names.random);
    Ref fn = random ? Ref::steal(PyObject_GetAttr(random.get(), name)) : Ref();
    if (!fn) return {};
    return kwnames ? call_kw(fn, args, kwnames) : call(fn, args);
}

}  // namespace ombrix
