#include "skew.hpp"

#include <cmath>

#include "../module/module_state.hpp"
#include "../module/names.hpp"
#include "../module/numpy_calls.hpp"

namespace ombrix {

namespace {
constexpr const char* kQualname = "ombrix.skew";
}

double skew_from_moments(const FloatVector& data, double mean, double std) {
    int n = static_cast<int>(data.length);
    double acc = 0.0;
    for (int i = 0; i < n; ++i) {
        double z = (data[i] - mean) / std;
        acc = acc + std::pow(z, 3.0);  // pow, not z*z*z: the two can differ in the last bit
    }
    return (1.0 / static_cast<double>(n)) * acc;
}

double skew(const FloatVector& data) {
    double mean = 0.0;
    {
        Ref fn = np_attr(names.mean);
        Ref view = fn ? make_view_object(data) : Ref();
        Ref result = view ? call(fn, {view.get()}) : Ref();
        if (!result || !to_double(result.get(), mean)) {
            add_traceback(kQualname, SkewLines::mean);
            return -1.0;
        }
    }
    double std = 0.0;
    {
        Ref fn = np_attr(names.std);
        Ref view = fn ? make_view_object(data) : Ref();
        Ref result = view ? call_kw(fn, {view.get(), constants.int_0}, constants.ddof_kwnames) : Ref();
        if (!result || !to_double(result.get(), std)) {
            add_traceback(kQualname, SkewLines::std);
            return -1.0;
        }
    }
    return skew_from_moments(data, mean, std);
}

PyObject* skew_entry(const BoundArgs& args) {
    double result = skew(args.vector(0));
    if (result == -1.0 && PyErr_Occurred()) return nullptr;
    return PyFloat_FromDouble(result);
}

}  // namespace ombrix
