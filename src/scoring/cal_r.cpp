#include "cal_r.hpp"

#include "../module/module_state.hpp"
#include "../module/names.hpp"
#include "../module/numpy_calls.hpp"
#include "../module/typed_array.hpp"
#include "change_points.hpp"
#include "logistic.hpp"
#include "skew.hpp"

namespace ombrix {

namespace {

constexpr const char* kQualname = "ombrix.cal_R_pyx";

double fail(int line) {
    add_traceback(kQualname, line);
    return -1.0;
}

}  // namespace

double cal_r(const FloatVector& cnv_data) {
    int N = static_cast<int>(cnv_data.length);

    TypedFloatArray change_points;
    {
        Ref indices = find_change_points(cnv_data);
        Ref as_double = indices ? call_method(indices.get(), names.astype, {names.double_}) : Ref();
        if (!assign(change_points, std::move(as_double))) return fail(CalRLines::change_points);
    }
    int n = static_cast<int>(change_points.view.length);
    if (n < 2) return 0.0;

    TypedFloatArray gaps;
    {
        Ref abs_fn = np_attr(names.abs);
        Ref diff = abs_fn ? np_attr(names.diff) : Ref();
        Ref d = diff ? call(diff, {change_points.object.get()}) : Ref();
        if (!assign(gaps, d ? call(abs_fn, {d.get()}) : Ref())) return fail(CalRLines::gaps);
    }

    double w = 0.0;
    {
        Ref exp_fn = np_attr(names.exp);
        if (!exp_fn) return fail(CalRLines::weight);
        FloatVector gap_view;
        if (!bind_vector(gaps.object.get(), kDouble, true, gap_view)) return fail(CalRLines::weight);
        double s = skew(gap_view);
        if (s == -1.0 && PyErr_Occurred()) return fail(CalRLines::weight);
        // the weight of +s: 1.0 / (1.0 + exp(-s))
        if (!logistic_weight(exp_fn, -s, constants.float_1_0, w)) return fail(CalRLines::weight);
    }

    double v = 0.0;
    {
        Ref var_fn = np_attr(names.var);
        Ref view = var_fn ? make_view_object(cnv_data) : Ref();
        Ref variance = view ? call(var_fn, {view.get()}) : Ref();
        if (!variance || !to_double(variance.get(), v)) return fail(CalRLines::variance);
    }
    return (static_cast<double>(n) / static_cast<double>(N)) * w * v;
}

PyObject* cal_r_entry(const BoundArgs& args) {
    double r = cal_r(args.vector(0));
    if (r == -1.0 && PyErr_Occurred()) return nullptr;
    return PyFloat_FromDouble(r);
}

}  // namespace ombrix
