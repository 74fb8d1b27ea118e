#include "exact_segment_sums.hpp"

#include "../capi/python_code.hpp"
#include "../kernels/exact_sums.hpp"

namespace ombrix {

namespace {

struct SummedProfile {
    const char* base = nullptr;
    Py_ssize_t length = -1;
    Py_ssize_t stride = 0;
    unsigned long long points = 0;
    bool made = false;    // the sums were tried for this profile
    bool usable = false;  // and hold
    std::vector<double> sums;
};

SummedProfile last;

}  // namespace

const std::vector<double>* exact_segment_sums(const FloatVector& profile) {
    if (profile.is_none() || profile.length > kLongestSummedProfile) return nullptr;
    bool same = last.base == profile.base && last.length == profile.length && last.stride == profile.stride &&
                last.points == python_code_points;
    if (!same) {
        last.base = profile.base;
        last.length = profile.length;
        last.stride = profile.stride;
        last.points = python_code_points;
        last.made = last.usable = false;
        return nullptr;  // seen once: its one reading is as cheap as the sums
    }
    if (!last.made) {
        last.made = true;
        last.usable = kernels::exact_block_sums({profile.base, profile.length, profile.stride}, last.sums);
    }
    return last.usable ? &last.sums : nullptr;
}

}  // namespace ombrix
