#include "cal_limit.hpp"

#include <new>

#include "../capi/failures.hpp"
#include "modal_value.hpp"

namespace ombrix {

namespace {
constexpr Traceback trace{"ombrix.cal_limit"};
}

PyObject* cal_limit(const FloatVector& x) {
    if (x.is_none()) {
        PyErr_SetString(PyExc_TypeError, "'NoneType' is not iterable");
        return trace.at(CalLimitLines::none_check);
    }
    ModalValue modal;
    try {
        modal = modal_value(x);
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return trace.at(CalLimitLines::new_key);
    }
    if (modal.distinct <= 1) {
        PyObject* minus_one = PyLong_FromLong(-1);
        if (!minus_one) return trace.at(CalLimitLines::distinct);
        return minus_one;
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
    if (!result) return trace.at(CalLimitLines::result);
    return result;
}

}  // namespace ombrix
