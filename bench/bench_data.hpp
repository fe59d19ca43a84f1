// Inputs shared by the nemra, Eigen and glm benchmarks: every library is timed on the same
// numbers, generated once from fixed seeds and converted to each library's own types before any
// timing starts.
//
// Naming: a benchmark is "<operation>/<library>[/<variant>]" ("mul/nemra", "mul/eigen",
// "findNearest/nemra/all_active/1000000"); scripts/bench_report.py pairs them by these names.
// Each benchmark sets the counter "batch" to the number of operations one timed iteration
// performs, so that per-operation times can be compared across benchmarks of different batches.
#ifndef NEMRA_BENCH_BENCH_DATA_HPP
#define NEMRA_BENCH_BENCH_DATA_HPP

#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <memory_resource>
#include <random>
#include <vector>

#include <benchmark/benchmark.h>

namespace nemra_bench {

// Matrices per timed iteration: 2 × 128 KiB of operands, resident in L2.
inline constexpr std::size_t kMatrixBatch = 1024;
// fsDistance pairs per timed iteration: enough that the branch predictor cannot learn the
// sequence of zero-guard and clamp outcomes.
inline constexpr std::size_t kPairBatch = 32768;
// Scalars and four-lane vectors per timed iteration.
inline constexpr std::size_t kScalarBatch = 4096;
// Point counts of the batch transforms (applyMany and its baselines): 1e3 points stay in L1, 1e6
// points (32 MB in, 32 MB out) stream from memory.
inline constexpr std::size_t kPointsSmall = 1000;
inline constexpr std::size_t kPointsLarge = 1000000;

// Iteration budgets whose difference gives the cost of one Newton–Schulz iteration. The
// translation pglTranslate(10, 20, 30) needs 26 iterations, so neither budget leaves early.
inline constexpr std::uint32_t kShortBudget = 5;
inline constexpr std::uint32_t kLongBudget = 25;

// Memory used again: a monotonic arena over one buffer, released after each call it serves, so
// that a benchmark leaves out the cost of the operating system handing out fresh pages.
struct Arena {
  std::vector<std::byte> buffer;
  std::pmr::monotonic_buffer_resource resource;
  explicit Arena(std::size_t bytes)
      : buffer(bytes), resource(buffer.data(), buffer.size(), std::pmr::null_memory_resource()) {}
};

using Mat = std::array<double, 16>;  // column-major, entry (r, c) at [4c + r]
using Vec = std::array<double, 4>;   // x, y, z, w

inline void setBatch(benchmark::State& state, std::size_t batch) {
  state.counters["batch"] = static_cast<double>(batch);
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()) *
                          static_cast<std::int64_t>(batch));
}

// Times op(0), ..., op(batch − 1) per iteration. Each result is kept by DoNotOptimize, which
// makes the compiler produce it in full (in memory when it does not fit a register) and forbids
// moving the work out of the loop; no copy into an output array is timed, so an operation that
// returns through memory (an out-of-line call) and one computed in registers (an inlined
// expression) pay for the same single materialisation of their result.
template <class Op>
void timeBatch(benchmark::State& state, std::size_t batch, Op op) {
  for (auto _ : state) {
    for (std::size_t i = 0; i < batch; ++i) {
      auto result = op(i);
      benchmark::DoNotOptimize(result);
    }
  }
  setBatch(state, batch);
}

// Matrices with entries uniform in [-2, 2]: generic, finite, mostly well conditioned.
inline std::vector<Mat> randomMatrices(std::size_t n, std::uint64_t seed) {
  std::mt19937_64 rng(seed);
  std::uniform_real_distribution<double> entry(-2.0, 2.0);
  std::vector<Mat> out(n);
  for (Mat& m : out) {
    for (double& e : m) e = entry(rng);
  }
  return out;
}

inline std::vector<Vec> randomVectors(std::size_t n, std::uint64_t seed) {
  std::mt19937_64 rng(seed);
  std::uniform_real_distribution<double> entry(-2.0, 2.0);
  std::vector<Vec> out(n);
  for (Vec& v : out) {
    for (double& e : v) e = entry(rng);
  }
  return out;
}

// Pairs for fsDistance in random order: mostly generic pairs, with zero and sub-1e-15 vectors
// (the guard), scaled and negated copies (cosine at or just above 1, the clamp) and orthogonal
// pairs mixed in, so that every branch of the formula is taken unpredictably.
struct PairSet {
  std::vector<Vec> a;
  std::vector<Vec> b;
};

inline PairSet fsDistancePairs(std::size_t n, std::uint64_t seed) {
  std::mt19937_64 rng(seed);
  std::uniform_real_distribution<double> entry(-2.0, 2.0);
  std::uniform_int_distribution<int> kind(0, 99);
  auto random = [&] { return Vec{entry(rng), entry(rng), entry(rng), entry(rng)}; };
  PairSet set;
  set.a.reserve(n);
  set.b.reserve(n);
  for (std::size_t i = 0; i < n; ++i) {
    Vec a = random();
    Vec b = random();
    const int k = kind(rng);
    if (k < 4) {
      a = Vec{0, 0, 0, 0};
    } else if (k < 8) {
      b = Vec{1e-16, 0, 0, 3e-17};
    } else if (k < 16) {
      const double s = entry(rng);
      b = Vec{a[0] * s, a[1] * s, a[2] * s, a[3] * s};
    } else if (k < 20) {
      b = Vec{-a[1], a[0], -a[3], a[2]};
    }
    set.a.push_back(a);
    set.b.push_back(b);
  }
  return set;
}

// Positive doubles spread over many binades, for the inverse square root.
inline std::vector<double> positiveScalars(std::size_t n, std::uint64_t seed) {
  std::mt19937_64 rng(seed);
  std::uniform_real_distribution<double> exponent(-30.0, 30.0);
  std::uniform_real_distribution<double> mantissa(1.0, 2.0);
  std::vector<double> out(n);
  for (double& x : out) x = mantissa(rng) * std::exp2(exponent(rng));
  return out;
}

// Four-lane single-precision inputs, a few of them below the normalisation threshold.
inline std::vector<std::array<float, 4>> randomFloat4(std::size_t n, std::uint64_t seed) {
  std::mt19937_64 rng(seed);
  std::uniform_real_distribution<float> entry(-2.0f, 2.0f);
  std::uniform_int_distribution<int> kind(0, 99);
  std::vector<std::array<float, 4>> out(n);
  for (auto& v : out) {
    v = {entry(rng), entry(rng), entry(rng), entry(rng)};
    if (kind(rng) < 3) v = {1e-9f, 0.0f, 0.0f, 0.0f};
  }
  return out;
}

}  // namespace nemra_bench

#endif
