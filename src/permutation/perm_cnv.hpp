// Background of R statistics over seeded re-segmentations of a profile.
#pragma once

#include <optional>

#include "../capi/views.hpp"

namespace ombrix {

struct PermCnvLines {
    static constexpr int definition = 263;
    static constexpr int seed = 265;
    static constexpr int poisson = 266;
    static constexpr int result_list = 272;
    static constexpr int next_draw = 273;
    static constexpr int append_zero = 276;
    static constexpr int reseed = 278;
    static constexpr int exponential = 279;
    static constexpr int normalise = 280;
    static constexpr int cut_positions = 281;
    static constexpr int drop_zero = 282;
    static constexpr int drop_tail = 283;
    static constexpr int add_bounds = 284;
    static constexpr int pieces_list = 286;
    static constexpr int cut_count = 287;
    static constexpr int segment = 289;
    static constexpr int r_value = 290;
};

// Internal routine: the result list, or nullptr with the exception pending.
PyObject* perm_cnv(const FloatVector& cnv_data, double exp_lam, double possion_lam, int random_num,
                   int seed);

// The same permutations judged against an observed R: how many of those run
// have a value at least `observed` (a zero draw's value is the integer 0),
// stopping after the `stop_after`-th that does (0: never). The counts equal
// those of the result list's first `run` entries.
struct PermutationCount {
    int reached = 0;
    int run = 0;
};
std::optional<PermutationCount> count_perm_cnv(const FloatVector& cnv_data, double exp_lam, double possion_lam,
                                               int random_num, int seed, double observed, int stop_after);

}  // namespace ombrix
