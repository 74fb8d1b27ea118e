#include "logistic.hpp"

#include "../module/module_state.hpp"
#include "../module/numpy_calls.hpp"

namespace ombrix {

bool logistic_weight(const Ref& exp_fn, double s, PyObject* one, double& weight) {
    Ref s_obj = Ref::steal(PyFloat_FromDouble(s));
    Ref e = s_obj ? call(exp_fn, {s_obj.get()}) : Ref();
    Ref denominator = e ? Ref::steal(PyNumber_Add(one, e.get())) : Ref();
    Ref quotient = denominator ? Ref::steal(PyNumber_TrueDivide(one, denominator.get())) : Ref();
    return quotient && to_double(quotient.get(), weight);
}

}  // namespace ombrix
