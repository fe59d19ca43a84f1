// The correctly rounded functions of cr_math.hpp against glibc's on the same inputs:
// "<function>/cr" and "<function>/glibc" over one array of arguments each, in the ranges the
// library uses (angles of the rotation builders and the perspective, cosines of distances).
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

[[maybe_unused]] const int kRegistered = [] {
  benchmark::RegisterBenchmark("sin/cr", unary<nemra_kernel::cr::sin>, -kPi, kPi);
  benchmark::RegisterBenchmark("sin/glibc", unary<glibcSin>, -kPi, kPi);
  benchmark::RegisterBenchmark("cos/cr", unary<nemra_kernel::cr::cos>, -kPi, kPi);
  benchmark::RegisterBenchmark("cos/glibc", unary<glibcCos>, -kPi, kPi);
  benchmark::RegisterBenchmark("tan/cr", unary<nemra_kernel::cr::tan>, -kPi / 2, kPi / 2);
  benchmark::RegisterBenchmark("tan/glibc", unary<glibcTan>, -kPi / 2, kPi / 2);
  return 0;
}();

}  // namespace
}  // namespace nemra_bench
