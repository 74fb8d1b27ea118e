#include "logistic.hpp"

#include "../module/module_state.hpp"
#include "../module/names.hpp"
#include "../module/numpy_api.hpp"
#include "../module/numpy_calls.hpp"
#include <numpy/arrayscalars.h>
#include "numpy_kernels.hpp"
#include "skew.hpp"

namespace ombrix {

bool logistic_weight(const Ref& exp_fn, double s, PyObject* one, double& weight) {
    Ref s_obj = Ref::steal(PyFloat_FromDouble(s));
    Ref e = s_obj ? call(exp_fn, {s_obj.get()}) : Ref();
    if (e && Py_IS_TYPE(e.get(), &PyDoubleArrType_Type)) {
        // NumPy's float64 scalar arithmetic, natively: the same sum and
        // quotient; any flag leaves the reporting to NumPy's own operators.
        kernels::Result w = kernels::logistic(reinterpret_cast<PyDoubleScalarObject*>(e.get())->obval);
        if (!w.flags) {
            weight = w.value;
            return true;
        }
    }
    Ref denominator = e ? Ref::steal(PyNumber_Add(one, e.get())) : Ref();
    Ref quotient = denominator ? Ref::steal(PyNumber_TrueDivide(one, denominator.get())) : Ref();
    return quotient && to_double(quotient.get(), weight);
}

bool length_skew_weight(ArrayOps& ops, const FloatVector& lengths, double& weight) {
    double s = skew(ops, lengths);
    if (s == -1.0 && PyErr_Occurred()) return false;
    Ref exp_fn = np_attr(names.exp);
    return exp_fn && logistic_weight(exp_fn, s, constants.int_1, weight) && ops.after_python_code();
}

}  // namespace ombrix
