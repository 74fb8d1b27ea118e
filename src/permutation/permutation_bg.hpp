// One seeded background value for the rearrangement score.
#pragma once

#include <optional>
#include <vector>

#include "../array_ops/array_ops.hpp"
#include "../capi/ref.hpp"
#include "../capi/views.hpp"

namespace ombrix {

struct PermutationBgLines {
    static constexpr int definition = 110;
    static constexpr int chr_pos = 111;
    static constexpr int scalars = 112;
    static constexpr int seed = 123;
    static constexpr int poisson = 124;
    static constexpr int exponential = 125;
    static constexpr int weights_length = 126;
    static constexpr int inf = 127;
    static constexpr int normalise = 129;
    static constexpr int cut_positions = 130;
    static constexpr int drop_zero = 131;
    static constexpr int drop_end = 132;
    static constexpr int add_bounds = 133;
    static constexpr int pieces_list = 137;
    static constexpr int cut_count = 138;
    static constexpr int segment_bounds = 139;
    static constexpr int segment_mean = 142;
    static constexpr int repeat = 143;
    static constexpr int guarded = 176;
    static constexpr int result = 179;
};

// A background's value: a double, or the object NumPy gives for it (np.inf
// where the draws give too few weights).
struct BackgroundValue {
    double value = 0.0;
    Ref object;
};

// The merged runs of equal rounded segment means.
struct Runs {
    std::vector<double> means;
    std::vector<long long> lengths;
};

// What a background builds, kept by a loop of backgrounds from one to the
// next so that each does not allocate it anew.
struct BackgroundBuffers {
    Runs runs;
    std::vector<Pieces::Run> made;  // segments made at once
};

// The background of `seed`; nullopt with the exception pending.
std::optional<BackgroundValue> background_value(const FloatVector& data, double lbd, double possion_lbd, int seed,
                                                BackgroundBuffers& buffers);

// Internal routine: a new float (or NumPy's inf object), or nullptr with the
// exception pending. chr_pos and size are accepted and never read.
PyObject* permutation_bg(const FloatVector& data, const FloatMatrix& chr_pos, double lbd,
                         double possion_lbd, int size, int seed);

}  // namespace ombrix
