// The draws of the permutation backgrounds from NumPy's global generator.
// Each is NumPy's call through the module global `np` (np.random.<name>), or,
// while NumPy's generator objects are those found at its first use and the
// arguments are ones NumPy accepts, the native replica drawing on NumPy's
// own MT19937 state under NumPy's lock: the same numbers, and the same state
// afterwards, cached Gaussian included. Arguments NumPy refuses always go to
// NumPy's call, so its exceptions are its own.
//
// One object serves one group of consecutive draws; it holds the lock from
// its first native draw until it ends or hands a draw to NumPy, so no Python
// code runs while it is held.
#pragma once

#include "../capi/ref.hpp"

namespace ombrix {

class GlobalGenerator {
public:
    GlobalGenerator() = default;
    GlobalGenerator(const GlobalGenerator&) = delete;
    GlobalGenerator& operator=(const GlobalGenerator&) = delete;
    ~GlobalGenerator();

    // np.random.seed(seed); false with the exception pending.
    bool seed(int seed);
    // np.random.poisson(lam): a Python int.
    Ref poisson(double lam);
    // np.random.poisson(lam, size=size).astype("double")
    Ref poisson_as_double(double lam, int size);
    // np.random.exponential(scale, size=size)
    Ref exponential(double scale, PyObject* size);

private:
    // The native replica may draw now: NumPy's objects are in place and the
    // lock is held.
    bool native_ready();
    void release_lock();
    bool holding_lock_ = false;
};

}  // namespace ombrix
