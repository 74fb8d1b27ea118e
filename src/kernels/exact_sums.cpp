#include "exact_sums.hpp"

#include <cmath>
#include <cstdint>
#include <cstring>

#include "vector_clones.hpp"

namespace ombrix::kernels {

namespace {

constexpr double kExactBelow = 9007199254740992.0;  // 2^53
constexpr uint64_t kExactBelowBits = 0x4340000000000000ULL;  // 2^53's bits

// Whether |v| >= 2^53, compared as bits (non-negative doubles order as their
// bits): no floating-point comparison, so a NaN raises nothing; inf and NaN
// are out of range.
inline uint64_t out_of_range(double v) {
    uint64_t bits;
    std::memcpy(&bits, &v, sizeof bits);
    return (bits & ~(uint64_t{1} << 63)) >= kExactBelowBits ? 1 : 0;
}

// Whether v (|v| < 2^53) is a whole number: |v| rounded to a whole number
// by adding and taking away 2^52, which plain vector additions do (no call
// to rint), raising no flag but inexact. It refuses some whole numbers from
// 2^52 on, which are then summed element by element.
inline bool whole(double v) {
    constexpr double kRounder = 4503599627370496.0;  // 2^52
    double magnitude = std::fabs(v);
    return (magnitude + kRounder) - kRounder == magnitude;
}

// The checks and sums of blocks [0, blocks) of a contiguous x, four lanes
// at a time (two vectors a block); false where a value is refused. Each
// lane's magnitude, and their total, reaches 2^53 whenever the exact total
// does (rounding is monotone and 2^53 a double); below it all are exact.
// Out-of-range values are made 0 before any arithmetic, so a NaN or inf
// raises no flag; the findings are tested every 64 blocks, so that a
// profile of other values (log ratios, say) is given up on early.
OMBRIX_VECTOR_CLONES bool contiguous_block_sums(const char* base, std::ptrdiff_t blocks, double* sums,
                                                 double& magnitude_total) {
    typedef double Lanes __attribute__((vector_size(4 * sizeof(double))));
    typedef long long Bits __attribute__((vector_size(4 * sizeof(long long))));
    const Bits sign_cleared = {~(1LL << 63), ~(1LL << 63), ~(1LL << 63), ~(1LL << 63)};
    const auto limit = static_cast<long long>(kExactBelowBits);
    const Bits limit_bits = {limit, limit, limit, limit};
    constexpr double kRounder = 4503599627370496.0;  // 2^52, see whole()
    const Lanes rounder = {kRounder, kRounder, kRounder, kRounder};
    Bits refused = {0, 0, 0, 0};
    Lanes magnitude_low = {0, 0, 0, 0}, magnitude_high = {0, 0, 0, 0};
    for (std::ptrdiff_t k = 0; k < blocks; ++k) {
        Bits low, high;
        std::memcpy(&low, base + k * kSummedBlock * sizeof(double), sizeof low);
        std::memcpy(&high, base + (k * kSummedBlock + 4) * sizeof(double), sizeof high);
        Bits outside_low = (low & sign_cleared) >= limit_bits, outside_high = (high & sign_cleared) >= limit_bits;
        refused |= outside_low | outside_high;
        Lanes v_low = reinterpret_cast<Lanes>(low & ~outside_low);
        Lanes v_high = reinterpret_cast<Lanes>(high & ~outside_high);
        Lanes a_low = reinterpret_cast<Lanes>(reinterpret_cast<Bits>(v_low) & sign_cleared);
        Lanes a_high = reinterpret_cast<Lanes>(reinterpret_cast<Bits>(v_high) & sign_cleared);
        refused |= ((a_low + rounder) - rounder != a_low) | ((a_high + rounder) - rounder != a_high);
        magnitude_low += a_low;
        magnitude_high += a_high;
        Lanes pairs = v_low + v_high;  // exact in any order
        sums[k + 1] = (pairs[0] + pairs[1]) + (pairs[2] + pairs[3]);
        if ((k & 63) == 63 && (refused[0] | refused[1] | refused[2] | refused[3]) != 0) return false;
    }
    magnitude_total = ((magnitude_low[0] + magnitude_low[1]) + (magnitude_low[2] + magnitude_low[3])) +
                      ((magnitude_high[0] + magnitude_high[1]) + (magnitude_high[2] + magnitude_high[3]));
    return (refused[0] | refused[1] | refused[2] | refused[3]) == 0;
}

// The same through a stride, a block at a time.
bool strided_block_sums(Doubles x, std::ptrdiff_t blocks, double* sums, double& magnitude_total) {
    double magnitude = 0.0;
    for (std::ptrdiff_t k = 0; k < blocks; ++k) {
        double block = 0.0;
        for (std::ptrdiff_t j = 0; j < kSummedBlock; ++j) {
            double v;
            std::memcpy(&v, x.base + (k * kSummedBlock + j) * x.stride, sizeof v);
            if (out_of_range(v) || !whole(v)) return false;
            magnitude += std::fabs(v);
            block += v;
        }
        sums[k + 1] = block;
    }
    magnitude_total = magnitude;
    return true;
}

// sums[1 .. blocks] from each block's sum to the running sums: four
// stretches at once, each its own chain of additions (exact in any order),
// then each stretch moved up by the total before it.
void running_sums(double* sums, std::ptrdiff_t blocks) {
    std::ptrdiff_t quarter = blocks / 4;
    double* starts[4] = {sums + 1, sums + 1 + quarter, sums + 1 + 2 * quarter, sums + 1 + 3 * quarter};
    double running[4] = {0.0, 0.0, 0.0, 0.0};
    for (std::ptrdiff_t i = 0; i < quarter; ++i) {
        for (int q = 0; q < 4; ++q) starts[q][i] = running[q] += starts[q][i];
    }
    for (std::ptrdiff_t i = 4 * quarter; i < blocks; ++i) sums[i + 1] = running[3] += sums[i + 1];
    double before = running[0];
    for (int q = 1; q < 4; ++q) {
        std::ptrdiff_t end = q == 3 ? blocks - 3 * quarter : quarter;
        for (std::ptrdiff_t i = 0; i < end; ++i) starts[q][i] += before;
        before += running[q];
    }
}

}  // namespace

bool exact_block_sums(Doubles x, std::vector<double>& sums) {
    std::ptrdiff_t blocks = x.length / kSummedBlock;
    sums.resize(static_cast<size_t>(blocks) + 1);
    sums[0] = 0.0;
    double total = 0.0;
    bool accepted = x.stride == sizeof(double) ? contiguous_block_sums(x.base, blocks, sums.data(), total)
                                               : strided_block_sums(x, blocks, sums.data(), total);
    if (!accepted) return false;
    running_sums(sums.data(), blocks);
    for (std::ptrdiff_t i = blocks * kSummedBlock; i < x.length; ++i) {  // checked, not summed
        double v;
        std::memcpy(&v, x.base + i * x.stride, sizeof v);
        if (out_of_range(v) || !whole(v)) return false;
        total += std::fabs(v);
    }
    return total < kExactBelow;
}

}  // namespace ombrix::kernels
