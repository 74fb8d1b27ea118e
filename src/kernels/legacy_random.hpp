// NumPy's legacy global generator (RandomState over MT19937) natively: the
// same 32-bit outputs, 53-bit doubles, exponential and Poisson draws, bit for
// bit, with no Python. Arguments NumPy would refuse are the caller's to keep
// away (they go to NumPy's own call).
#pragma once

#include <cstdint>

namespace ombrix::kernels {

inline constexpr int kMt19937StateLength = 624;

// MT19937's state as NumPy lays it out.
struct Mt19937 {
    uint32_t key[kMt19937StateLength];
    int pos;
};

inline constexpr int kSeedLanes = 32;

// The seeding's words of kSeedLanes consecutive seeds from `base`, computed
// side by side: the seeding is one chain of multiplications per seed, whose
// latency (about 13 cycles a word) 32 independent chains hide (four AVX2
// registers), where eight (one register) leave it bare. The backgrounds of
// a call are seeded 1, 2, 3, ...: one table serves 32 of them, and a
// driver's task that stops within 32 backgrounds finds the next task's
// seeds already there.
struct SeedTable {
    bool filled = false;
    uint32_t base = 0;
    uint32_t words[kMt19937StateLength][kSeedLanes];
};

// The generator the draws are made on: a state read from NumPy's, or one
// seeded here. A seed is taken lazily: output j of the refill that follows a
// seed reads only the seeded words j, j + 1 and j + 397 (and refilled ones),
// so the first k outputs need the seeding up to word 396 + k and k refilled
// words, not all 624 of each. A background draws a few dozen outputs, and
// only the state that NumPy is given back (`store`) must be whole.
struct Generator {
    Mt19937 state{};
    bool lazy = false;  // seeded here, its first refill not yet complete
    int seeded = 0;     // while lazy: seeding words written
    int refilled = 0;   // while lazy: words of the first refill written
    int taken = 0;      // while lazy: outputs drawn since the seed
    uint32_t next_word = 0;  // while lazy: the seeding's value for word `seeded`
    // Where a seed's words are read, when given: the table, refilled for
    // the kSeedLanes seeds from a seed it does not hold. One generator a table.
    SeedTable* table = nullptr;
    int lane = 0;  // while lazy with a table: the seed's lane
};

// The generator in NumPy's state `from`.
void load(Generator& generator, const Mt19937& from);

// RandomState.seed(seed) for an integer seed in [0, 2**32 - 1].
void seed_mt19937(Generator& generator, uint32_t seed);

// The whole state, as NumPy's own seed and draws leave it, into `to`.
void store(Generator& generator, Mt19937& to);

// -log(1 - U): the legacy standard exponential.
double standard_exponential(Generator& generator);

// `count` standard exponentials into `out`, as that many calls of
// standard_exponential() draw them.
void standard_exponentials(Generator& generator, double* out, std::int64_t count);

// The legacy Poisson draw for a lam that NumPy accepts (lam >= 0 and no
// larger than its own limit, which the caller enforces): the multiplication
// method below 10, the transformed rejection method (PTRS) from 10 on.
int64_t poisson(Generator& generator, double lam);

}  // namespace ombrix::kernels
