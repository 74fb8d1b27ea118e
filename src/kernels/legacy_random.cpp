#include "legacy_random.hpp"

#include <algorithm>
#include <cmath>

#include "vector_clones.hpp"

namespace ombrix::kernels {

namespace {

constexpr int kN = kMt19937StateLength;
constexpr int kM = 397;
constexpr uint32_t kMatrixA = 0x9908b0dfU;
constexpr uint32_t kUpperMask = 0x80000000U;
constexpr uint32_t kLowerMask = 0x7fffffffU;
// Words of a lazy first refill written at once: a background draws a few
// dozen outputs, so a few words written ahead cost less than a call per word.
constexpr int kRefillStretch = 16;

uint32_t twist(uint32_t upper_from, uint32_t lower_from, uint32_t far) {
    uint32_t y = (upper_from & kUpperMask) | (lower_from & kLowerMask);
    return far ^ (y >> 1) ^ (-(y & 1U) & kMatrixA);
}

void refill(Mt19937& state) {
    uint32_t* key = state.key;
    int i = 0;
    for (; i < kN - kM; ++i) key[i] = twist(key[i], key[i + 1], key[i + kM]);
    for (; i < kN - 1; ++i) key[i] = twist(key[i], key[i + 1], key[i + (kM - kN)]);
    key[kN - 1] = twist(key[kN - 1], key[0], key[kM - 1]);
    state.pos = 0;
}

// Writes the seeding's words up to `count` (exclusive).
void seed_up_to(Generator& g, int count) {
    uint32_t word = g.next_word;
    uint32_t* key = g.state.key;
    // the seeding is one chain of multiplications: unrolled, the loop's own
    // instructions stop counting beside it
#pragma GCC unroll 8
    for (uint32_t pos = static_cast<uint32_t>(g.seeded); pos < static_cast<uint32_t>(count); ++pos) {
        key[pos] = word;
        word = 1812433253U * (word ^ (word >> 30)) + pos + 1U;
    }
    g.next_word = word;
    if (count > g.seeded) g.seeded = count;
}

// Writes the first refill's words up to `count` (exclusive), in place as
// refill() does, each after the seeded words it reads: from the table, or
// seeded here as they are needed.
void refill_up_to(Generator& g, int count) {
    uint32_t* key = g.state.key;
    int i = g.refilled;
    // the three stretches of refill(): words read from ahead, words read
    // from the refilled start, and the last word
    const int ahead_end = std::min(count, kN - kM), wrap_end = std::min(count, kN - 1);
    if (g.table) {
        const uint32_t(*old)[kSeedLanes] = g.table->words;
        const int lane = g.lane;
        for (; i < ahead_end; ++i) key[i] = twist(old[i][lane], old[i + 1][lane], old[i + kM][lane]);
        for (; i < wrap_end; ++i) key[i] = twist(old[i][lane], old[i + 1][lane], key[i + (kM - kN)]);
        if (i < count) key[kN - 1] = twist(old[kN - 1][lane], key[0], key[kM - 1]);
    } else {
        if (i < ahead_end) seed_up_to(g, ahead_end + kM);  // the seeded words these read
        for (; i < ahead_end; ++i) key[i] = twist(key[i], key[i + 1], key[i + kM]);
        for (; i < wrap_end; ++i) key[i] = twist(key[i], key[i + 1], key[i + (kM - kN)]);
        if (i < count) key[kN - 1] = twist(key[kN - 1], key[0], key[kM - 1]);
    }
    if (count > g.refilled) g.refilled = count;
}

OMBRIX_VECTOR_CLONES void fill_seed_table(SeedTable& table, uint32_t base) {
    uint32_t word[kSeedLanes];
    for (int lane = 0; lane < kSeedLanes; ++lane) word[lane] = base + static_cast<uint32_t>(lane);
    for (uint32_t pos = 0; pos < static_cast<uint32_t>(kN); ++pos) {
        for (int lane = 0; lane < kSeedLanes; ++lane) {
            table.words[pos][lane] = word[lane];
            word[lane] = 1812433253U * (word[lane] ^ (word[lane] >> 30)) + pos + 1U;
        }
    }
    table.base = base;
    table.filled = true;
}

uint32_t temper(uint32_t y) {
    y ^= (y >> 11);
    y ^= (y << 7) & 0x9d2c5680U;
    y ^= (y << 15) & 0xefc60000U;
    y ^= (y >> 18);
    return y;
}

uint32_t next32(Generator& g) {
    if (g.lazy) {
        int j = g.taken++;
        // a stretch of words at a time: the loop, not each word, pays the call
        if (j >= g.refilled) refill_up_to(g, std::min(kN, j + kRefillStretch));
        if (g.taken == kN) {  // the first refill is whole: from here on as NumPy draws
            g.lazy = false;
            g.state.pos = kN;
        }
        return temper(g.state.key[j]);
    }
    Mt19937& state = g.state;
    if (state.pos == kN) refill(state);
    return temper(state.key[state.pos++]);
}

// A double in [0, 1) from two tempered 32-bit outputs, first and second.
double double_of(uint32_t first, uint32_t second) {
    auto a = static_cast<int32_t>(first >> 5);
    auto b = static_cast<int32_t>(second >> 6);
    return (a * 67108864.0 + b) / 9007199254740992.0;
}

// The next double in [0, 1), from two 32-bit outputs.
double next_double(Generator& state) {
    uint32_t first = next32(state);
    return double_of(first, next32(state));
}

// NumPy's log-gamma for the PTRS acceptance test.
double loggam(double x) {
    static constexpr double a[10] = {8.333333333333333e-02, -2.777777777777778e-03, 7.936507936507937e-04,
                                     -5.952380952380952e-04, 8.417508417508418e-04, -1.917526917526918e-03,
                                     6.410256410256410e-03,  -2.955065359477124e-02, 1.796443723688307e-01,
                                     -1.39243221690590e+00};
    if (x == 1.0 || x == 2.0) return 0.0;
    int64_t n = x < 7.0 ? static_cast<int64_t>(7 - x) : 0;
    double x0 = x + static_cast<double>(n);
    double x2 = (1.0 / x0) * (1.0 / x0);
    const double lg2pi = 1.8378770664093453e+00;  // log(2 pi)
    double gl0 = a[9];
    for (int k = 8; k >= 0; --k) {
        gl0 *= x2;
        gl0 += a[k];
    }
    double gl = gl0 / x0 + 0.5 * lg2pi + (x0 - 0.5) * std::log(x0) - x0;
    if (x < 7.0) {
        for (int64_t k = 1; k <= n; ++k) {
            gl -= std::log(x0 - 1.0);
            x0 -= 1.0;
        }
    }
    return gl;
}

int64_t poisson_multiplication(Generator& state, double lam) {
    double enlam = std::exp(-lam);
    int64_t x = 0;
    double prod = 1.0;
    while (true) {
        prod *= next_double(state);
        if (!(prod > enlam)) return x;
        x += 1;
    }
}

// W. Hoermann, The transformed rejection method for generating Poisson
// random variables, Insurance: Mathematics and Economics 12, 39-45 (1993),
// in NumPy's order of operations.
int64_t poisson_ptrs(Generator& state, double lam) {
    double slam = std::sqrt(lam);
    double loglam = std::log(lam);
    double b = 0.931 + 2.53 * slam;
    double a = -0.059 + 0.02483 * b;
    double invalpha = 1.1239 + 1.1328 / (b - 3.4);
    double vr = 0.9277 - 3.6224 / (b - 2);
    while (true) {
        double u = next_double(state) - 0.5;
        double v = next_double(state);
        double us = 0.5 - std::fabs(u);
        auto k = static_cast<int64_t>(std::floor((2 * a / us + b) * u + lam + 0.43));
        if (us >= 0.07 && v <= vr) return k;
        if (k < 0 || (us < 0.013 && v > us)) continue;
        if ((std::log(v) + std::log(invalpha) - std::log(a / (us * us) + b)) <=
            (-lam + static_cast<double>(k) * loglam - loggam(static_cast<double>(k) + 1))) {
            return k;
        }
    }
}

}  // namespace

void load(Generator& generator, const Mt19937& from) {
    generator.state = from;
    generator.lazy = false;
}

void seed_mt19937(Generator& generator, uint32_t seed) {
    if (SeedTable* table = generator.table) {
        if (!table->filled || seed - table->base >= static_cast<uint32_t>(kSeedLanes)) fill_seed_table(*table, seed);
        generator.lane = static_cast<int>(seed - table->base);
    }
    generator.lazy = true;
    generator.seeded = generator.refilled = generator.taken = 0;
    generator.next_word = seed;
    generator.state.pos = kN;
}

void store(Generator& generator, Mt19937& to) {
    if (generator.lazy) {
        if (generator.taken > 0) {
            refill_up_to(generator, kN);
            generator.state.pos = generator.taken;
        } else if (generator.table) {  // no output drawn: the seeding's words, the refill to come
            for (int i = 0; i < kN; ++i) generator.state.key[i] = generator.table->words[i][generator.lane];
        } else {
            seed_up_to(generator, kN);
        }
        generator.lazy = false;
    }
    to = generator.state;
}

double standard_exponential(Generator& state) { return -std::log(1.0 - next_double(state)); }

namespace {

// The uniform doubles of `pairs` pairs of outputs that are written already
// (key[0], key[1], ...), as next_double() makes them, into `out`.
OMBRIX_VECTOR_CLONES void doubles_of_pairs(const uint32_t* key, std::int64_t pairs, double* out) {
    for (std::int64_t p = 0; p < pairs; ++p) out[p] = double_of(temper(key[2 * p]), temper(key[2 * p + 1]));
}

}  // namespace

void standard_exponentials(Generator& g, double* out, std::int64_t count) {
    std::int64_t i = 0;
    while (i < count) {
        // the outputs that can be read without a refill, a lazy state's
        // first refill written as far as the draws go
        int ready;
        if (g.lazy) {
            std::int64_t wanted = std::min<std::int64_t>(kN, g.taken + 2 * (count - i));
            if (g.refilled < wanted) refill_up_to(g, static_cast<int>(wanted));
            ready = g.refilled - g.taken;
        } else {
            if (g.state.pos == kN) refill(g.state);
            ready = kN - g.state.pos;
        }
        if (ready < 2) {  // a pair across a refill: as one draw makes it
            out[i++] = standard_exponential(g);
            continue;
        }
        std::int64_t pairs = std::min<std::int64_t>(ready / 2, count - i);
        int& at = g.lazy ? g.taken : g.state.pos;
        doubles_of_pairs(g.state.key + at, pairs, out + i);
        at += static_cast<int>(2 * pairs);
        if (g.lazy && g.taken == kN) {  // the first refill is whole: from here on as NumPy draws
            g.lazy = false;
            g.state.pos = kN;
        }
        for (std::int64_t p = i; p < i + pairs; ++p) out[p] = -std::log(1.0 - out[p]);
        i += pairs;
    }
}

int64_t poisson(Generator& state, double lam) {
    if (lam >= 10) return poisson_ptrs(state, lam);
    if (lam == 0) return 0;
    return poisson_multiplication(state, lam);
}

}  // namespace ombrix::kernels
