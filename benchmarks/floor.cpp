// The floor of a permutation background: the least work that one must do,
// as native code, written with the module's own kernels. A lazy seed (only
// the words the draws read, 32 consecutive seeds computed side by side),
// the Poisson and exponential draws, the cut
// positions, one read of the profile (each segment's mean in NumPy's
// summation order, rounded), the runs of equal means, and the statistic from
// the runs (the skewness of their lengths, and the variance from the runs
// alone: the only step not in NumPy's order of additions). No
// Python, no NumPy, no checks: what the module's background costs beyond
// this is what its exactness and its boundary with the interpreter cost.
//
//   floor PROFILE LAMBDA COUNT REPEATS [score|perm]
//
// PROFILE: raw float64 values. Prints the median nanoseconds per background
// over REPEATS runs of COUNT backgrounds, and a checksum that keeps the work.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <vector>

#include "../src/kernels/float64.hpp"
#include "../src/kernels/legacy_random.hpp"

namespace k = ombrix::kernels;

namespace {

constexpr std::ptrdiff_t kChunk = 8192;

struct Background {
    std::vector<double> weights;
    std::vector<k::Run> runs;
};

// The runs of the rounded segment means between the cuts that `weights` place.
void resegment(const std::vector<double>& data, Background& b) {
    auto n = static_cast<std::ptrdiff_t>(data.size());
    double total = 0.0;
    for (double w : b.weights) total += w;
    b.runs.clear();
    std::ptrdiff_t start = 0;
    double placed = 0.0;
    for (size_t j = 0; j <= b.weights.size(); ++j) {
        std::ptrdiff_t end = n;
        if (j < b.weights.size()) {
            placed += std::rint(b.weights[j] / total * static_cast<double>(n));
            end = std::min(n, static_cast<std::ptrdiff_t>(placed));
        }
        if (end <= start) continue;
        k::Doubles segment{reinterpret_cast<const char*>(data.data() + start), end - start, sizeof(double)};
        double m = std::rint(k::mean(segment, kChunk).value);
        if (!b.runs.empty() && b.runs.back().value == m) {
            b.runs.back().length += end - start;
        } else {
            b.runs.push_back({m, end - start});
        }
        start = end;
    }
}

// The skewness of the run lengths, a logistic weight of it, runs per
// position, and the variance.
double statistic(const Background& b, std::ptrdiff_t n, double sign) {
    auto r = static_cast<double>(b.runs.size());
    if (b.runs.size() < 2) return 0.0;
    double mean = 0.0, m2 = 0.0, m3 = 0.0;
    for (const k::Run& run : b.runs) mean += static_cast<double>(run.length);
    mean /= r;
    for (const k::Run& run : b.runs) {
        double d = static_cast<double>(run.length) - mean;
        m2 += d * d;
        m3 += d * d * d;
    }
    double s = (m3 / r) / std::pow(m2 / r, 1.5);
    // the smoothed profile's variance from its runs alone, in O(runs): the
    // least work, though not NumPy's order of additions
    double level = 0.0, spread = 0.0;
    for (const k::Run& run : b.runs) level += run.value * static_cast<double>(run.length);
    level /= static_cast<double>(n);
    for (const k::Run& run : b.runs) spread += (run.value - level) * (run.value - level) * static_cast<double>(run.length);
    double v = spread / static_cast<double>(n);
    return r / static_cast<double>(n) / (1.0 + std::exp(sign * s)) * v;
}

// permutation_score's backgrounds: seed i, a Poisson count, that many weights.
double score_backgrounds(const std::vector<double>& data, double lam, int count) {
    static k::SeedTable seeds;
    k::Generator g;
    g.table = &seeds;
    Background b;
    double checksum = 0.0;
    for (int i = 1; i <= count; ++i) {
        k::seed_mt19937(g, static_cast<uint32_t>(i));
        int64_t d = k::poisson(g, lam);
        b.weights.resize(static_cast<size_t>(std::max<int64_t>(1, d)));
        k::standard_exponentials(g, b.weights.data(), static_cast<std::int64_t>(b.weights.size()));
        if (d <= 2) {
            checksum += 1.0;
            continue;
        }
        resegment(data, b);
        checksum += statistic(b, static_cast<std::ptrdiff_t>(data.size()), 1.0);
    }
    return checksum;
}

// perm_cnv_pyx's permutations: every count from seed 1, then seed k for each.
double perm_backgrounds(const std::vector<double>& data, double lam, int count) {
    static k::SeedTable seeds;
    k::Generator g;
    g.table = &seeds;
    k::seed_mt19937(g, 1);
    std::vector<int64_t> draws(static_cast<size_t>(count));
    for (int64_t& d : draws) d = k::poisson(g, lam);
    Background b;
    double checksum = 0.0;
    for (int i = 0; i < count; ++i) {
        if (draws[i] == 0) continue;
        k::seed_mt19937(g, static_cast<uint32_t>(i));
        b.weights.resize(static_cast<size_t>(draws[i]));
        k::standard_exponentials(g, b.weights.data(), static_cast<std::int64_t>(b.weights.size()));
        resegment(data, b);
        checksum += statistic(b, static_cast<std::ptrdiff_t>(data.size()), -1.0);
    }
    return checksum;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 5) {
        std::fprintf(stderr, "usage: floor PROFILE LAMBDA COUNT REPEATS [score|perm]\n");
        return 2;
    }
    std::ifstream file(argv[1], std::ios::binary);
    std::vector<char> bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    std::vector<double> data(bytes.size() / sizeof(double));
    std::copy(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(data.size() * sizeof(double)),
              reinterpret_cast<char*>(data.data()));
    double lam = std::atof(argv[2]);
    int count = std::atoi(argv[3]), repeats = std::atoi(argv[4]);
    bool perm = argc > 5 && std::string_view(argv[5]) == "perm";
    std::vector<double> times;
    double checksum = 0.0;
    for (int r = 0; r < repeats; ++r) {
        auto started = std::chrono::steady_clock::now();
        checksum += perm ? perm_backgrounds(data, lam, count) : score_backgrounds(data, lam, count);
        std::chrono::duration<double, std::nano> took = std::chrono::steady_clock::now() - started;
        times.push_back(took.count() / count);
    }
    std::sort(times.begin(), times.end());
    std::printf("%.1f %.17g\n", times[times.size() / 2], checksum);
    return 0;
}
