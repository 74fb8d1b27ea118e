#include "cal_limit.hpp"

#include <new>

#include "../module/module_state.hpp"
#include "value_counts.hpp"

namespace ombrix {

namespace {

constexpr const char* kQualname = "ombrix.cal_limit";

PyObject* fail(int line) {
    add_traceback(kQualname, line);
    return nullptr;
}

}  // namespace

PyObject* cal_limit_entry(const BoundArgs& args) {
    const FloatVector& x = args.vector(0);  // coverage_thr is bound but takes no part
    if (x.is_none()) {
        PyErr_SetString(PyExc_TypeError, "'NoneType' is not iterable");
        return fail(CalLimitLines::none_check);
    }
    ModalValue modal;
    try {
        modal = modal_value(x);
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return fail(CalLimitLines::new_key);
    }
    if (modal.distinct <= 1) {
        PyObject* minus_one = PyLong_FromLong(-1);
        return minus_one ? minus_one : fail(CalLimitLines::distinct);
    }

    double top1_value = modal.value;
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
