#include "logistic.hpp"

#include "../kernels/float64.hpp"
#include "../python/calls.hpp"
#include "../python/globals.hpp"
#include "../python/numpy_api.hpp"
#include "../python/process_state.hpp"
#include "../python/scalars.hpp"
#include <numpy/arrayscalars.h>
#include "skew.hpp"

namespace ombrix {

std::optional<double> logistic_weight(ArrayOps& ops, const Ref& exp_fn, double s, PyObject* one) {
    Ref s_obj = Ref::steal(PyFloat_FromDouble(s));
    if (!s_obj) return std::nullopt;
    Ref e = call(exp_fn, {s_obj.get()});
    ops.after_python_code();
    if (!e) return std::nullopt;
    if (Py_IS_TYPE(e.get(), &PyDoubleArrType_Type)) {
        // NumPy's float64 scalar arithmetic, natively: the same sum and
        // quotient; any flag leaves the reporting to NumPy's own operators.
        kernels::Result w = kernels::logistic(reinterpret_cast<PyDoubleScalarObject*>(e.get())->obval);
        if (!w.flags) return w.value;
    }
    Ref denominator = Ref::steal(PyNumber_Add(one, e.get()));
    if (!denominator) return std::nullopt;
    Ref quotient = Ref::steal(PyNumber_TrueDivide(one, denominator.get()));
    ops.after_python_code();
    double weight = 0.0;
    if (!quotient || !to_double(quotient.get(), weight)) return std::nullopt;
    return weight;
}

std::optional<double> length_skew_weight(ArrayOps& ops, const FloatVector& lengths) {
    std::optional<double> s = skew(ops, lengths);
    if (!s) return std::nullopt;
    Ref exp_fn = np_attr(names.exp);
    if (!exp_fn) return std::nullopt;
    return logistic_weight(ops, exp_fn, *s, constants.int_1);
}

}  // namespace ombrix
