// C entry points to the kernels and the path counts, so that the test suite
// can hold each kernel against NumPy directly (through ctypes) and see which
// path a call took; nothing else uses them.
#include <new>

#include "numpy_kernels.hpp"
#include "ops_choice.hpp"

#define OMBRIX_KERNEL_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

ombrix::kernels::Doubles doubles(const char* base, Py_ssize_t length, Py_ssize_t stride) {
    return {base, length, stride};
}

double report(ombrix::kernels::Result r, unsigned* flags) {
    *flags = r.flags;
    return r.value;
}

}  // namespace

#define OMBRIX_REDUCTION_EXPORT(name, kernel)                                                  \
    OMBRIX_KERNEL_EXPORT double ombrix_kernel_##name(const char* base, Py_ssize_t length,           \
                                                     Py_ssize_t stride, Py_ssize_t chunk,         \
                                                     unsigned* flags) {                             \
        return report(ombrix::kernels::kernel(doubles(base, length, stride), chunk), flags);     \
    }

OMBRIX_REDUCTION_EXPORT(sum, sum)
OMBRIX_REDUCTION_EXPORT(mean, mean)
OMBRIX_REDUCTION_EXPORT(var, variance)
OMBRIX_REDUCTION_EXPORT(std, standard_deviation)

OMBRIX_KERNEL_EXPORT double ombrix_kernel_logistic(double e, unsigned* flags) {
    return report(ombrix::kernels::logistic(e), flags);
}

// `out` holds `length` doubles; returns the flags, or ~0u when out of memory.
OMBRIX_KERNEL_EXPORT unsigned ombrix_kernel_scaled_running_sum(const char* base, Py_ssize_t length,
                                                               Py_ssize_t stride, double scale,
                                                               Py_ssize_t chunk, double* out) {
    try {
        std::vector<double> running;
        unsigned flags = ombrix::kernels::scaled_running_sum(doubles(base, length, stride), scale,
                                                             chunk, running);
        for (size_t i = 0; i < running.size(); ++i) out[i] = running[i];
        return flags;
    } catch (const std::bad_alloc&) {
        return ~0u;
    }
}

// `out` holds `length` doubles; returns the count of change points, or -1
// when out of memory.
OMBRIX_KERNEL_EXPORT Py_ssize_t ombrix_kernel_change_points(const char* base, Py_ssize_t length,
                                                            Py_ssize_t stride, double* out,
                                                            unsigned* flags) {
    try {
        std::vector<double> found;
        *flags = ombrix::kernels::change_points(doubles(base, length, stride), found);
        for (size_t i = 0; i < found.size(); ++i) out[i] = found[i];
        return static_cast<Py_ssize_t>(found.size());
    } catch (const std::bad_alloc&) {
        return -1;
    }
}

// How many units of work each path has taken since the module was loaded.
OMBRIX_KERNEL_EXPORT void ombrix_path_counts(long long* native, long long* numpy) {
    *native = ombrix::path_counts.native;
    *numpy = ombrix::path_counts.numpy;
}
