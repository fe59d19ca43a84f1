// The correctly rounded functions of cr_math.hpp against glibc's on the same inputs:
// "<function>/cr" and "<function>/glibc" over one array of arguments each, in the ranges the
// library uses (angles of the rotation builders and the perspective, cosines of distances,
// determinants); and "hard/<function>/cr", the time of each call on the published
// hardest-to-round inputs.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include <nemra_kernel/cr_math.hpp>

#include "bench_data.hpp"

namespace nemra_bench {
namespace {

std::vector<double> uniformInputs(double lo, double hi, std::uint64_t seed) {
  std::mt19937_64 rng(seed);
  std::uniform_real_distribution<double> d(lo, hi);
  std::vector<double> out(kScalarBatch);
  for (double& x : out) x = d(rng);
  return out;
}

constexpr double kPi = 3.141592653589793;

template <double (*F)(double)>
void unary(benchmark::State& state, double lo, double hi) {
  const std::vector<double> x = uniformInputs(lo, hi, 42);
  timeBatch(state, kScalarBatch, [&](std::size_t i) { return F(x[i]); });
}

double glibcSin(double x) { return std::sin(x); }
double glibcCos(double x) { return std::cos(x); }
double glibcTan(double x) { return std::tan(x); }
double glibcAcos(double x) { return std::acos(x); }
double glibcInvFourthRoot(double x) { return std::pow(x, -0.25); }

// Positive arguments with exponents uniform in [-40, 40], as determinant magnitudes come to
// normalizeDet.
template <double (*F)(double)>
void logUniform(benchmark::State& state) {
  std::mt19937_64 rng(43);
  std::vector<double> x(kScalarBatch);
  for (double& v : x) {
    v = std::ldexp(1.0 + static_cast<double>(rng() >> 12) * 0x1p-52,
                   static_cast<int>(rng() % 81) - 40);
  }
  timeBatch(state, kScalarBatch, [&](std::size_t i) { return F(x[i]); });
}

volatile double hard_sink = 0.0;

// Each input of a list of hard cases (and its negation) timed alone: the fastest of five calls,
// so that an interrupt does not count, less the cost of reading the clock. Reported: the median
// and the maximum over the list, and the share of calls slower than 150 ns, the exact path's
// (the first path takes about 15 ns, the exact path 300 ns and more).
template <double (*F)(double)>
void hardInputs(benchmark::State& state, const char* file) {
  std::vector<double> x;
  std::ifstream in(std::string(NEMRA_HARD_CASES_DIR) + "/" + file);
  for (std::string line; std::getline(in, line);) {
    if (line.empty()) continue;
    const double v = std::strtod(line.c_str(), nullptr);
    x.push_back(v);
    x.push_back(-v);
  }
  if (x.empty()) {
    state.SkipWithError("no hard cases found");
    return;
  }
  using Clock = std::chrono::steady_clock;
  const auto elapsed = [](Clock::time_point a, Clock::time_point b) {
    return std::chrono::duration<double, std::nano>(b - a).count();
  };
  double clock_cost = std::numeric_limits<double>::infinity();
  for (int i = 0; i < 1000; ++i) {
    const Clock::time_point t0 = Clock::now();
    const Clock::time_point t1 = Clock::now();
    clock_cost = std::min(clock_cost, elapsed(t0, t1));
  }
  std::vector<double> per_call(x.size());
  volatile double input = 0.0;
  for (auto _ : state) {
    for (std::size_t i = 0; i < x.size(); ++i) {
      input = x[i];
      double best = std::numeric_limits<double>::infinity();
      for (int r = 0; r < 5; ++r) {
        // Volatile reads and writes keep the call between the two clock readings (the call's
        // argument and result must not be computed outside them).
        const double v = input;
        const Clock::time_point t0 = Clock::now();
        hard_sink = F(v);
        const Clock::time_point t1 = Clock::now();
        best = std::min(best, elapsed(t0, t1));
      }
      per_call[i] = std::max(0.0, best - clock_cost);
    }
  }
  std::sort(per_call.begin(), per_call.end());
  const auto slow = static_cast<double>(per_call.end() -
                                        std::upper_bound(per_call.begin(), per_call.end(), 150.0));
  state.counters["median_call_ns"] = per_call[per_call.size() / 2];
  state.counters["max_call_ns"] = per_call.back();
  state.counters["exact_path_share"] = slow / static_cast<double>(per_call.size());
  state.counters["inputs"] = static_cast<double>(per_call.size());
}

[[maybe_unused]] const int kRegistered = [] {
  benchmark::RegisterBenchmark("sin/cr", unary<nemra_kernel::cr::sin>, -kPi, kPi);
  benchmark::RegisterBenchmark("sin/glibc", unary<glibcSin>, -kPi, kPi);
  benchmark::RegisterBenchmark("cos/cr", unary<nemra_kernel::cr::cos>, -kPi, kPi);
  benchmark::RegisterBenchmark("cos/glibc", unary<glibcCos>, -kPi, kPi);
  benchmark::RegisterBenchmark("tan/cr", unary<nemra_kernel::cr::tan>, -kPi / 2, kPi / 2);
  benchmark::RegisterBenchmark("tan/glibc", unary<glibcTan>, -kPi / 2, kPi / 2);
  benchmark::RegisterBenchmark("acos/cr", unary<nemra_kernel::cr::acos>, -1.0, 1.0);
  benchmark::RegisterBenchmark("acos/glibc", unary<glibcAcos>, -1.0, 1.0);
  benchmark::RegisterBenchmark("invFourthRoot/cr", logUniform<nemra_kernel::cr::invFourthRoot>);
  benchmark::RegisterBenchmark("invFourthRoot/glibc", logUniform<glibcInvFourthRoot>);
  benchmark::RegisterBenchmark("hard/sin/cr", hardInputs<nemra_kernel::cr::sin>, "sin.txt")
      ->Iterations(1);
  benchmark::RegisterBenchmark("hard/cos/cr", hardInputs<nemra_kernel::cr::cos>, "cos.txt")
      ->Iterations(1);
  benchmark::RegisterBenchmark("hard/tan/cr", hardInputs<nemra_kernel::cr::tan>, "tan.txt")
      ->Iterations(1);
  benchmark::RegisterBenchmark("hard/acos/cr", hardInputs<nemra_kernel::cr::acos>, "acos.txt")
      ->Iterations(1);
  return 0;
}();

}  // namespace
}  // namespace nemra_bench
