// _ombrix_testing: a test-only module, built only by the test command, that
// reaches the kernels directly, as NumPy's _multiarray_tests reaches NumPy's
// internals. The test suite loads it with ctypes and holds each kernel
// against NumPy itself; the published module exports nothing but its init
// function.
#include <Python.h>

#include <new>
#include <vector>

#include "../../src/kernels/exact_sums.hpp"
#include "../../src/kernels/float64.hpp"
#include "../../src/kernels/legacy_random.hpp"

#define OMBRIX_KERNEL_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

namespace kernels = ombrix::kernels;

kernels::Doubles doubles(const char* base, Py_ssize_t length, Py_ssize_t stride) { return {base, length, stride}; }

double report(kernels::Result r, unsigned* flags) {
    *flags = r.flags;
    return r.value;
}

PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "_ombrix_testing", nullptr, 0, nullptr,
                          nullptr,               nullptr,           nullptr, nullptr};

}  // namespace

#define OMBRIX_REDUCTION_EXPORT(name, kernel)                                                                   \
    OMBRIX_KERNEL_EXPORT double ombrix_kernel_##name(const char* base, Py_ssize_t length, Py_ssize_t stride, \
                                                     Py_ssize_t chunk, unsigned* flags) {                    \
        return report(kernels::kernel(doubles(base, length, stride), chunk), flags);                          \
    }

OMBRIX_REDUCTION_EXPORT(sum, sum)
OMBRIX_REDUCTION_EXPORT(mean, mean)
OMBRIX_REDUCTION_EXPORT(var, variance)
OMBRIX_REDUCTION_EXPORT(std, standard_deviation)

// The variance of `count` runs (values[k] repeated lengths[k] times).
OMBRIX_KERNEL_EXPORT double ombrix_kernel_variance_of_runs(const double* values, const Py_ssize_t* lengths,
                                                           Py_ssize_t count, Py_ssize_t chunk, unsigned* flags) {
    std::vector<kernels::Run> runs;
    for (Py_ssize_t k = 0; k < count; ++k) runs.push_back({values[k], lengths[k]});
    return report(kernels::variance_of_runs(runs.data(), count, chunk), flags);
}

// The variance of x (contiguous, `length` > 0), which the runs spell out.
OMBRIX_KERNEL_EXPORT double ombrix_kernel_variance_with_runs(const double* x, Py_ssize_t length, const double* values,
                                                             const Py_ssize_t* lengths, Py_ssize_t count,
                                                             Py_ssize_t chunk, unsigned* flags) {
    std::vector<kernels::Run> runs;
    for (Py_ssize_t k = 0; k < count; ++k) runs.push_back({values[k], lengths[k]});
    kernels::Doubles elements{reinterpret_cast<const char*>(x), length, sizeof(double)};
    return report(kernels::variance_with_runs(elements, runs.data(), count, chunk), flags);
}

// The means of x[lows[k] .. highs[k]) from x's block sums; -1 where the
// sums refuse x, else 1. `raised`: the flags that making the sums raised.
OMBRIX_KERNEL_EXPORT int ombrix_kernel_exact_stretch_means(const char* base, Py_ssize_t length, Py_ssize_t stride,
                                                           const Py_ssize_t* lows, const Py_ssize_t* highs,
                                                           Py_ssize_t count, double* out, unsigned* raised) {
    std::vector<double> sums;
    kernels::clear_fp_flags();
    bool accepted = kernels::exact_block_sums(doubles(base, length, stride), sums);
    *raised = kernels::current_flags();
    if (!accepted) return -1;
    for (Py_ssize_t k = 0; k < count; ++k) {
        out[k] = kernels::exact_stretch_mean(doubles(base, length, stride), sums, lows[k], highs[k]);
    }
    return 1;
}

OMBRIX_KERNEL_EXPORT double ombrix_kernel_logistic(double e, unsigned* flags) {
    return report(kernels::logistic(e), flags);
}

// The cut positions as the native backend makes them: the weights' sum, the
// weights divided by it, then the rounded running sum of the quotients times
// `scale`. `out` holds `length` doubles; returns the flags of the three
// steps, or ~0u when out of memory.
OMBRIX_KERNEL_EXPORT unsigned ombrix_kernel_scaled_running_sum(const char* base, Py_ssize_t length,
                                                               Py_ssize_t stride, double scale, Py_ssize_t chunk,
                                                               double* out) {
    try {
        kernels::Result total = kernels::sum(doubles(base, length, stride), chunk);
        std::vector<double> quotients, running;
        unsigned flags = total.flags | kernels::divide(doubles(base, length, stride), total.value, quotients);
        flags |= kernels::rounded_running_sum(
            doubles(reinterpret_cast<const char*>(quotients.data()), length, sizeof(double)), scale, running);
        for (size_t i = 0; i < running.size(); ++i) out[i] = running[i];
        return flags;
    } catch (const std::bad_alloc&) {
        return ~0u;
    }
}

// `out` holds `length` doubles; returns the count of change points, or -1
// when out of memory.
OMBRIX_KERNEL_EXPORT Py_ssize_t ombrix_kernel_change_points(const char* base, Py_ssize_t length, Py_ssize_t stride,
                                                            double* out, unsigned* flags) {
    try {
        std::vector<double> found;
        *flags = kernels::change_points(doubles(base, length, stride), found);
        for (size_t i = 0; i < found.size(); ++i) out[i] = found[i];
        return static_cast<Py_ssize_t>(found.size());
    } catch (const std::bad_alloc&) {
        return -1;
    }
}

// np.random.seed(seed); np.random.poisson(lam, size=poisson_count);
// np.random.exponential(scale, size=exponential_count), natively: the draws
// and the generator's key and position afterwards. With `handed_over`, the
// state is also given back whole between the two draws, as a hand-over to
// NumPy's call does. With `tabled`, the seed's words come from a table of
// 32 consecutive seeds that lasts from call to call, as the backgrounds'
// does. With `one_by_one`, the exponentials are drawn a call each, else at
// once.
OMBRIX_KERNEL_EXPORT void ombrix_legacy_draws(uint32_t seed, double lam, Py_ssize_t poisson_count, double scale,
                                              Py_ssize_t exponential_count, int handed_over, int tabled, int one_by_one,
                                              int64_t* poissons, double* exponentials, uint32_t* key, int* pos) {
    static kernels::SeedTable table;
    kernels::Generator generator;
    if (tabled) generator.table = &table;
    kernels::seed_mt19937(generator, seed);
    for (Py_ssize_t i = 0; i < poisson_count; ++i) poissons[i] = kernels::poisson(generator, lam);
    if (handed_over) {
        kernels::Mt19937 numpy_state;
        kernels::store(generator, numpy_state);
        kernels::load(generator, numpy_state);
    }
    if (one_by_one) {
        for (Py_ssize_t i = 0; i < exponential_count; ++i) {
            exponentials[i] = scale * kernels::standard_exponential(generator);
        }
    } else {  // as the backgrounds draw their weights
        kernels::standard_exponentials(generator, exponentials, exponential_count);
        for (Py_ssize_t i = 0; i < exponential_count; ++i) exponentials[i] = scale * exponentials[i];
    }
    kernels::Mt19937 state;
    kernels::store(generator, state);
    for (int i = 0; i < kernels::kMt19937StateLength; ++i) key[i] = state.key[i];
    *pos = state.pos;
}

PyMODINIT_FUNC PyInit__ombrix_testing() { return PyModuleDef_Init(&module_def); }
