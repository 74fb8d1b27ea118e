#include "cal_r.hpp"

#include "../module/module_state.hpp"
#include "../module/names.hpp"
#include "logistic.hpp"
#include "ops_choice.hpp"
#include "skew.hpp"

namespace ombrix {

namespace {

constexpr const char* kQualname = "ombrix.cal_R_pyx";

double fail(int line) {
    add_traceback(kQualname, line);
    return -1.0;
}

}  // namespace

double cal_r(ArrayOps& ops, const FloatVector& cnv_data) {
    int N = static_cast<int>(cnv_data.length);

    if (!ops.change_points_as_double(cnv_data)) return fail(CalRLines::change_points);
    int n = static_cast<int>(ops.change_point_count());
    if (n < 2) return 0.0;

    if (!ops.gaps()) return fail(CalRLines::gaps);

    double w = 0.0;
    {
        Ref exp_fn = np_attr(names.exp);
        if (!exp_fn) return fail(CalRLines::weight);
        FloatVector gap_view;
        if (!ops.gap_view(gap_view)) return fail(CalRLines::weight);
        double s = skew(ops, gap_view);
        if (s == -1.0 && PyErr_Occurred()) return fail(CalRLines::weight);
        // the weight of +s: 1.0 / (1.0 + exp(-s))
        if (!logistic_weight(exp_fn, -s, constants.float_1_0, w) || !ops.after_python_code()) {
            return fail(CalRLines::weight);
        }
    }

    double v = 0.0;
    if (!ops.var(cnv_data, v)) return fail(CalRLines::variance);
    return (static_cast<double>(n) / static_cast<double>(N)) * w * v;
}

double cal_r(const FloatVector& cnv_data) {
    return with_array_ops(!cnv_data.is_none(), [&](ArrayOps& ops) { return cal_r(ops, cnv_data); });
}

PyObject* cal_r_entry(const BoundArgs& args) {
    double r = cal_r(args.vector(0));
    if (r == -1.0 && PyErr_Occurred()) return nullptr;
    return PyFloat_FromDouble(r);
}

}  // namespace ombrix
