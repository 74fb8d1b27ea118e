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

// -log(1 - U): the legacy standard exponential.
double standard_exponential(Mt19937& state);

// The legacy Poisson draw for a lam that NumPy accepts (lam >= 0 and no
// larger than its own limit, which the caller enforces): the multiplication
// method below 10, the transformed rejection method (PTRS) from 10 on.
int64_t poisson(Mt19937& state, double lam);

}  // namespace ombrix::kernels
