// An observed score judged against its seeded permutation backgrounds.
#pragma once

#include <vector>

#include "../capi/views.hpp"

namespace ombrix {

struct PermutationScoreLines {
    static constexpr int definition = 186;
    static constexpr int exp_lambda = 187;
    static constexpr int later_params = 188;
    static constexpr int score = 189;
    static constexpr int limit = 199;
    static constexpr int store_limit = 201;
    static constexpr int read_lambdas = 203;
    static constexpr int exp_nan_test = 209;
    static constexpr int exp_nan_mean = 210;
    static constexpr int poisson_nan_test = 212;
    static constexpr int poisson_nan_mean = 214;
    static constexpr int nan_tests = 215;
    static constexpr int background = 221;
    static constexpr int background_args = 223;
    static constexpr int compare = 230;
    static constexpr int result = 233;
};

// When the loop over backgrounds 1 .. random_num may end early: at the
// `stop_after`-th background that reaches the score (0: never), and at once
// when the observed score is NaN, which no background reaches (the count is
// then 0 after any number of backgrounds). `run` reports how many were drawn;
// `drawn`, where given, receives each drawn background's score as compared
// (rounded to single precision).
struct StopRule {
    int stop_after = 0;
    bool skip_unreachable = false;
    int* run = nullptr;
    std::vector<double>* drawn = nullptr;
};

// The judged score dictionary, or nullptr with the exception pending. Under a
// stop rule num_greater is the count among the backgrounds drawn, the count
// that the rule-free call with random_num = *run gives.
PyObject* permutation_score(int x, const FloatVector& cnv, const FloatMatrix& gene_loc, const FloatVector& exp_lambda,
                            const FloatVector& possion_lambda, int chr_num, int random_num, bool random,
                            StopRule rule = {});

}  // namespace ombrix
