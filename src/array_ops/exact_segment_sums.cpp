#include "exact_segment_sums.hpp"

#include <cstring>

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
    std::vector<double> values;  // what they were made from
};

SummedProfile last;

bool same_place(const FloatVector& profile) {
    return last.base == profile.base && last.length == profile.length && last.stride == profile.stride;
}

// Whether the profile still holds, bit for bit, the values its sums were
// made from: a comparison costs a fraction of making the sums again.
bool values_kept(const FloatVector& profile) {
    if (last.values.size() != static_cast<size_t>(profile.length)) return false;
    if (profile.stride == static_cast<Py_ssize_t>(sizeof(double))) {
        return std::memcmp(profile.base, last.values.data(), last.values.size() * sizeof(double)) == 0;
    }
    for (Py_ssize_t i = 0; i < profile.length; ++i) {
        double value = profile[i];
        if (std::memcmp(&value, &last.values[static_cast<size_t>(i)], sizeof value) != 0) return false;
    }
    return true;
}

void keep_values(const FloatVector& profile) {
    last.values.resize(static_cast<size_t>(profile.length));
    for (Py_ssize_t i = 0; i < profile.length; ++i) last.values[static_cast<size_t>(i)] = profile[i];
}

}  // namespace

const std::vector<double>* exact_segment_sums(const FloatVector& profile) {
    if (profile.is_none() || profile.length > kLongestSummedProfile) return nullptr;
    if (same_place(profile) && last.points != python_code_points && last.usable && values_kept(profile)) {
        last.points = python_code_points;  // Python code ran (a check for signals) and left the values as they were
        return &last.sums;
    }
    if (!same_place(profile) || last.points != python_code_points) {
        last.base = profile.base;
        last.length = profile.length;
        last.stride = profile.stride;
        last.points = python_code_points;
        last.made = last.usable = false;
        return nullptr;  // seen once: its one reading is as cheap as the sums
    }
    if (!last.made) {
        last.made = true;  // usable only once both the sums and the values are kept (an allocation may fail)
        if (kernels::exact_block_sums({profile.base, profile.length, profile.stride}, last.sums)) {
            keep_values(profile);
            last.usable = true;
        }
    }
    return last.usable ? &last.sums : nullptr;
}

}  // namespace ombrix
