// NumPy's legacy global generator (RandomState over MT19937) natively: the
// same 32-bit outputs, 53-bit doubles, exponential and Poisson draws, bit for
// bit, with no Python. Arguments NumPy would refuse are the caller's to keep
// away (they go to NumPy's own call).
#pragma once

#include <cstdint>

namespace ombrix::kernels {

inline constexpr int kMt19937StateLength = 624;

struct Mt19937 {
    uint32_t key[kMt19937StateLength];
    int pos;
};

// RandomState.seed(seed) for an integer seed in [0, 2**32 - 1].
void seed_mt19937(Mt19937& state, uint32_t seed);

// The next double in [0, 1), from two 32-bit outputs.
double next_double(Mt19937& state);

// -log(1 - U): the legacy standard exponential.
double standard_exponential(Mt19937& state);

// The legacy Poisson draw for 0 <= lam <= kPoissonLamMax: the multiplication
// method below 10, the transformed rejection method (PTRS) from 10 on.
int64_t poisson(Mt19937& state, double lam);

// NumPy's log-gamma for the PTRS acceptance test.
double loggam(double x);

}  // namespace ombrix::kernels
