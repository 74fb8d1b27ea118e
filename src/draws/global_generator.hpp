// The draws of the permutation backgrounds from NumPy's global generator.
// Each is NumPy's call through the module global `np` (np.random.<name>), or,
// while NumPy's generator objects are those found at its first use and the
// arguments are ones NumPy accepts, the native replica drawing on NumPy's
// own MT19937 state under NumPy's lock: the same numbers, and the same state
// afterwards, cached Gaussian included. Arguments NumPy refuses always go to
// NumPy's call, so its exceptions are its own.
//
// The native draws of a call share one session: NumPy's lock is taken and
// its generator objects are checked at the first native draw, and the
// generator's state is kept here (a seed taken lazily, kernels::Generator)
// until Python code may run or the call goes back to the interpreter; then
// settle_draws() gives NumPy its state, whole, and releases the lock. While
// the session is open, only native code runs: no Python code, and no object
// made that the cyclic collector tracks.
#pragma once

#include <optional>

#include "../capi/ref.hpp"

namespace ombrix {


class GlobalGenerator {
public:
    // np.random.seed(seed); false with the exception pending.
    bool seed(int seed);
    // np.random.poisson(lam): a Python int.
    Ref poisson(double lam);
    // The same draw as a number, where the native replica may make it;
    // nullopt, with nothing drawn, where poisson() must call NumPy.
    std::optional<long long> native_poisson(double lam);
    // Whether the native replica makes np.random.exponential(scale,
    // size=count) now (else exponential() calls NumPy), and the draws,
    // into out[0 .. count), where it does.
    bool native_exponentials(double scale, long long count);
    void draw_exponentials(double scale, long long count, double* out);
    // np.random.poisson(lam, size=size).astype("double"); `drawn_natively`,
    // when given, tells whether the native replica drew the array.
    Ref poisson_as_double(double lam, int size, bool* drawn_natively = nullptr);
    // np.random.exponential(scale, size=size)
    Ref exponential(double scale, PyObject* size);
};

// Ends the session, if one is open: NumPy's generator state made whole and
// the lock released. Never changes the pending exception. Registered with
// before_python_code() by install_draws().
void settle_draws();

// Registers settle_draws() as work to finish before Python code runs; once,
// when a module starts.
void install_draws();

}  // namespace ombrix
