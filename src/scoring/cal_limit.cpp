#include "cal_limit.hpp"

#include "../module/module_state.hpp"
#include "../module/names.hpp"
#include "../module/numpy_calls.hpp"

namespace ombrix {

namespace {

constexpr const char* kQualname = "ombrix.cal_limit";
constexpr const char* kSortKeyQualname = "ombrix.cal_limit.lambda";

PyObject* fail(int line) {
    add_traceback(kQualname, line);
    return nullptr;
}

// The sort key: lambda a: -a[1], over the (value, count) pairs.
PyObject* negated_count(PyObject*, PyObject* pair) {
    Ref count = item_at(pair, 1);
    PyObject* negated = count ? PyNumber_Negative(count.get()) : nullptr;
    if (!negated) add_traceback(kSortKeyQualname, CalLimitLines::sort_key);
    return negated;
}

PyMethodDef sort_key_def = {"<lambda>", negated_count, METH_O, nullptr};

// counter[value] += 1, or counter[value] = 1 for a new value. Keys are new
// float objects, so every NaN is a key of its own.
bool count_value(PyObject* counter, double value) {
    Ref probe = Ref::steal(PyFloat_FromDouble(value));
    int present = probe ? PyDict_Contains(counter, probe.get()) : -1;
    if (present < 0) {
        add_traceback(kQualname, CalLimitLines::membership);
        return false;
    }
    Ref key = Ref::steal(PyFloat_FromDouble(value));
    if (present) {
        Ref old = key ? Ref::steal(PyObject_GetItem(counter, key.get())) : Ref();
        Ref updated = old ? Ref::steal(PyNumber_Add(old.get(), constants.int_1)) : Ref();
        if (!updated || PyObject_SetItem(counter, key.get(), updated.get()) < 0) {
            add_traceback(kQualname, CalLimitLines::increment);
            return false;
        }
    } else if (!key || PyDict_SetItem(counter, key.get(), constants.int_1) < 0) {
        add_traceback(kQualname, CalLimitLines::new_key);
        return false;
    }
    return true;
}

}  // namespace

PyObject* cal_limit_entry(const BoundArgs& args) {
    const FloatVector& x = args.vector(0);  // coverage_thr is bound but takes no part
    Ref counter = Ref::steal(PyDict_New());
    if (!counter) return fail(CalLimitLines::counter);
    if (x.is_none()) {
        PyErr_SetString(PyExc_TypeError, "'NoneType' is not iterable");
        return fail(CalLimitLines::none_check);
    }
    for (Py_ssize_t i = 0; i < x.length; ++i) {
        if (!count_value(counter.get(), x[i])) return nullptr;
    }
    if (PyDict_Size(counter.get()) <= 1) {
        PyObject* minus_one = PyLong_FromLong(-1);
        return minus_one ? minus_one : fail(CalLimitLines::distinct);
    }

    Ref items = call_method(counter.get(), names.items, {});
    Ref counter_list = items ? Ref::steal(PySequence_List(items.get())) : Ref();
    if (!counter_list) return fail(CalLimitLines::items);
    {
        Ref key = Ref::steal(PyCFunction_New(&sort_key_def, nullptr));
        Ref sort = key ? Ref::steal(PyObject_GetAttr(counter_list.get(), names.sort)) : Ref();
        Ref sorted = sort ? call_kw(sort, {key.get()}, constants.key_kwnames) : Ref();
        if (!sorted) return fail(CalLimitLines::sort);
    }
    double top1_value = 0.0;
    {
        Ref top = item_at(counter_list.get(), 0);
        Ref value = top ? item_at(top.get(), 0) : Ref();
        if (!value || !to_double(value.get(), top1_value)) return fail(CalLimitLines::modal_value);
    }

    double count = 0.0;
    double all_count = 0.0;
    for (Py_ssize_t i = 0; i < x.length; ++i) {
        double d = x[i] - top1_value;
        if (d != 0.0) {  // a NaN difference counts as different
            all_count = all_count + 1.0;
            if (d == 1.0 || d == -1.0) count = count + 1.0;
        }
    }
    PyObject* result = PyFloat_FromDouble(count / all_count);
    return result ? result : fail(CalLimitLines::result);
}

}  // namespace ombrix
