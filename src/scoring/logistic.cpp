#include "logistic.hpp"

#include "../capi/globals.hpp"
#include "../capi/process_state.hpp"
#include "skew.hpp"

namespace ombrix {

std::optional<double> length_skew_weight(ArrayOps& ops, const FloatVector& lengths) {
    std::optional<double> s = skew(ops, lengths);
    if (!s) return std::nullopt;
    Ref exp_fn = np_attr(names.exp);
    if (!exp_fn) return std::nullopt;
    return ops.logistic_weight(exp_fn, *s, constants.int_1);
}

}  // namespace ombrix
