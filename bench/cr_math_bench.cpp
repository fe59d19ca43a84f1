// The correctly rounded functions of cr_math.hpp against glibc's on the same inputs:
// "<function>/cr" and "<function>/glibc" over one array of arguments each, in the ranges the
// library uses (angles of the rotation builders and the perspective, cosines of distances,
// determinants).
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <random>
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
  return 0;
}();

}  // namespace
}  // namespace nemra_bench
