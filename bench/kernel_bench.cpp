// The kernel's operations, timed on the inputs of bench_data.hpp. The Eigen and glm versions of
// the same operations are in eigen_bench.cpp and glm_bench.cpp and run in the same process.
//
// Every timed loop writes each result to an output array whose address has escaped, and ends with
// a memory clobber, so the compiler can neither drop a result nor hoist the work out of the loop;
// the fixed-input calls (the inverse) pass their input through DoNotOptimize, so it cannot be
// constant-folded.
#include <benchmark/benchmark.h>

#include <array>
#include <cmath>
#include <cstddef>
#include <vector>

#include "bench_data.hpp"
#include <nemra_kernel/fast_math.hpp>
#include <nemra_kernel/fs_distance.hpp>
#include <nemra_kernel/hom_vec4.hpp>
#include <nemra_kernel/pgl4.hpp>

namespace nemra_bench {
namespace {

using nemra_kernel::F32x4;
using nemra_kernel::HomVec4;
using nemra_kernel::PGL4;

std::vector<PGL4> matrices(std::uint64_t seed) {
  std::vector<PGL4> out;
  for (const Mat& m : randomMatrices(kMatrixBatch, seed)) out.push_back(PGL4::init(m));
  return out;
}

HomVec4 toHomVec4(const Vec& v) { return HomVec4::init(v[0], v[1], v[2], v[3]); }

void mul(benchmark::State& state) {
  const std::vector<PGL4> a = matrices(1), b = matrices(2);
  std::vector<PGL4> out(kMatrixBatch);
  benchmark::DoNotOptimize(out.data());
  for (auto _ : state) {
    for (std::size_t i = 0; i < kMatrixBatch; ++i) out[i] = PGL4::mul(a[i], b[i]);
    benchmark::ClobberMemory();
  }
  setBatch(state, kMatrixBatch);
}

void apply(benchmark::State& state) {
  const std::vector<PGL4> m = matrices(1);
  std::vector<HomVec4> v;
  for (const Vec& x : randomVectors(kMatrixBatch, 3)) v.push_back(toHomVec4(x));
  std::vector<HomVec4> out(kMatrixBatch);
  benchmark::DoNotOptimize(out.data());
  for (auto _ : state) {
    for (std::size_t i = 0; i < kMatrixBatch; ++i) out[i] = m[i].apply(v[i]);
    benchmark::ClobberMemory();
  }
  setBatch(state, kMatrixBatch);
}

void det(benchmark::State& state) {
  const std::vector<PGL4> m = matrices(1);
  std::vector<double> out(kMatrixBatch);
  benchmark::DoNotOptimize(out.data());
  for (auto _ : state) {
    for (std::size_t i = 0; i < kMatrixBatch; ++i) out[i] = m[i].det();
    benchmark::ClobberMemory();
  }
  setBatch(state, kMatrixBatch);
}

void transpose(benchmark::State& state) {
  const std::vector<PGL4> m = matrices(1);
  std::vector<PGL4> out(kMatrixBatch);
  benchmark::DoNotOptimize(out.data());
  for (auto _ : state) {
    for (std::size_t i = 0; i < kMatrixBatch; ++i) out[i] = m[i].transpose();
    benchmark::ClobberMemory();
  }
  setBatch(state, kMatrixBatch);
}

void normalizeDet(benchmark::State& state) {
  const std::vector<PGL4> m = matrices(1);
  std::vector<PGL4> out(kMatrixBatch);
  benchmark::DoNotOptimize(out.data());
  for (auto _ : state) {
    for (std::size_t i = 0; i < kMatrixBatch; ++i) out[i] = m[i].normalizeDet();
    benchmark::ClobberMemory();
  }
  setBatch(state, kMatrixBatch);
}

// One whole inverse call on a fixed matrix.
void inverse(benchmark::State& state, PGL4 input, double delta, std::uint32_t budget) {
  for (auto _ : state) {
    PGL4 m = input;
    benchmark::DoNotOptimize(m);
    PGL4 r = m.inverse(delta, budget);
    benchmark::DoNotOptimize(r);
  }
  setBatch(state, 1);
}

void fsDistance(benchmark::State& state) {
  const PairSet pairs = fsDistancePairs(kPairBatch, 4);
  std::vector<HomVec4> a, b;
  for (std::size_t i = 0; i < kPairBatch; ++i) {
    a.push_back(toHomVec4(pairs.a[i]));
    b.push_back(toHomVec4(pairs.b[i]));
  }
  std::vector<double> out(kPairBatch);
  benchmark::DoNotOptimize(out.data());
  for (auto _ : state) {
    for (std::size_t i = 0; i < kPairBatch; ++i) out[i] = nemra_kernel::fsDistance(a[i], b[i]);
    benchmark::ClobberMemory();
  }
  setBatch(state, kPairBatch);
}

void cordicInvSqrt(benchmark::State& state) {
  const std::vector<double> x = positiveScalars(kScalarBatch, 5);
  std::vector<double> out(kScalarBatch);
  benchmark::DoNotOptimize(out.data());
  for (auto _ : state) {
    for (std::size_t i = 0; i < kScalarBatch; ++i) out[i] = nemra_kernel::cordicInvSqrt(x[i]);
    benchmark::ClobberMemory();
  }
  setBatch(state, kScalarBatch);
}

// The library's square root and a division, for scale.
void invSqrtStd(benchmark::State& state) {
  const std::vector<double> x = positiveScalars(kScalarBatch, 5);
  std::vector<double> out(kScalarBatch);
  benchmark::DoNotOptimize(out.data());
  for (auto _ : state) {
    for (std::size_t i = 0; i < kScalarBatch; ++i) out[i] = 1.0 / std::sqrt(x[i]);
    benchmark::ClobberMemory();
  }
  setBatch(state, kScalarBatch);
}

std::vector<F32x4> lanes(std::uint64_t seed) {
  std::vector<F32x4> out;
  for (const auto& v : randomFloat4(kScalarBatch, seed)) {
    out.push_back(nemra_kernel::f32x4(v[0], v[1], v[2], v[3]));
  }
  return out;
}

void simdDot4(benchmark::State& state) {
  const std::vector<F32x4> a = lanes(6), b = lanes(7);
  std::vector<float> out(kScalarBatch);
  benchmark::DoNotOptimize(out.data());
  for (auto _ : state) {
    for (std::size_t i = 0; i < kScalarBatch; ++i) out[i] = nemra_kernel::simdDot4(a[i], b[i]);
    benchmark::ClobberMemory();
  }
  setBatch(state, kScalarBatch);
}

void simdNormalize3(benchmark::State& state) {
  const std::vector<F32x4> v = lanes(6);
  std::vector<F32x4> out(kScalarBatch);
  benchmark::DoNotOptimize(out.data());
  for (auto _ : state) {
    for (std::size_t i = 0; i < kScalarBatch; ++i) out[i] = nemra_kernel::simdNormalize3(v[i]);
    benchmark::ClobberMemory();
  }
  setBatch(state, kScalarBatch);
}

[[maybe_unused]] const int kRegistered = [] {
  benchmark::RegisterBenchmark("mul/nemra", mul);
  benchmark::RegisterBenchmark("apply/nemra", apply);
  benchmark::RegisterBenchmark("det/nemra", det);
  benchmark::RegisterBenchmark("transpose/nemra", transpose);
  benchmark::RegisterBenchmark("normalizeDet/nemra", normalizeDet);
  benchmark::RegisterBenchmark("inverse/nemra/scale234_budget15", inverse,
                               nemra_kernel::pglScale(2, 3, 4), 1e-10, 15u);
  benchmark::RegisterBenchmark("inverse/nemra/translate_budget15", inverse,
                               nemra_kernel::pglTranslate(10, 20, 30), 0.0, 15u);
  benchmark::RegisterBenchmark("nsBudgetShort/nemra", inverse,
                               nemra_kernel::pglTranslate(10, 20, 30), 0.0, kShortBudget);
  benchmark::RegisterBenchmark("nsBudgetLong/nemra", inverse,
                               nemra_kernel::pglTranslate(10, 20, 30), 0.0, kLongBudget);
  benchmark::RegisterBenchmark("fsDistance/nemra", fsDistance);
  benchmark::RegisterBenchmark("cordicInvSqrt/nemra", cordicInvSqrt);
  benchmark::RegisterBenchmark("cordicInvSqrt/std", invSqrtStd);
  benchmark::RegisterBenchmark("simdDot4/nemra", simdDot4);
  benchmark::RegisterBenchmark("simdNormalize3/nemra", simdNormalize3);
  return 0;
}();

}  // namespace
}  // namespace nemra_bench
