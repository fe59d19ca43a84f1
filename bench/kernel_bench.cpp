// The kernel's operations, timed on the inputs of bench_data.hpp. The Eigen and glm versions of
// the same operations are in eigen_bench.cpp and glm_bench.cpp and run in the same process.
//
// Batches go through timeBatch (bench_data.hpp), which keeps every result; the fixed-input calls
// (the inverse) also pass their input through DoNotOptimize, so it cannot be constant-folded.
#include <array>
#include <cmath>
#include <cstddef>
#include <vector>

#include <benchmark/benchmark.h>

#include <nemra_kernel/fast_math.hpp>
#include <nemra_kernel/fs_distance.hpp>
#include <nemra_kernel/hom_vec4.hpp>
#include <nemra_kernel/pgl4.hpp>

#include "bench_data.hpp"

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
  timeBatch(state, kMatrixBatch, [&](std::size_t i) -> PGL4 { return PGL4::mul(a[i], b[i]); });
}

void apply(benchmark::State& state) {
  const std::vector<PGL4> m = matrices(1);
  std::vector<HomVec4> v;
  for (const Vec& x : randomVectors(kMatrixBatch, 3)) v.push_back(toHomVec4(x));
  timeBatch(state, kMatrixBatch, [&](std::size_t i) -> HomVec4 { return m[i].apply(v[i]); });
}

// One timed iteration transforms n points into a separate output array. The same points and
// matrix serve applyMany, the loop of single apply calls and Eigen's Matrix4d * Matrix4Xd.
struct PointBatch {
  PGL4 m;
  std::vector<HomVec4> in;
  std::vector<HomVec4> out;
};

PointBatch pointBatch(std::size_t n) {
  PointBatch b{PGL4::init(randomMatrices(1, 1)[0]), {}, std::vector<HomVec4>(n)};
  for (const Vec& x : randomVectors(n, 8)) b.in.push_back(toHomVec4(x));
  return b;
}

void applyMany(benchmark::State& state) {
  PointBatch b = pointBatch(static_cast<std::size_t>(state.range(0)));
  for (auto _ : state) {
    b.m.applyMany(b.in, b.out);
    benchmark::ClobberMemory();
  }
  setBatch(state, b.in.size());
}

void applyLoop(benchmark::State& state) {
  PointBatch b = pointBatch(static_cast<std::size_t>(state.range(0)));
  for (auto _ : state) {
    for (std::size_t i = 0; i < b.in.size(); ++i) b.out[i] = b.m.apply(b.in[i]);
    benchmark::ClobberMemory();
  }
  setBatch(state, b.in.size());
}

void fsDistanceMany(benchmark::State& state) {
  PointBatch b = pointBatch(static_cast<std::size_t>(state.range(0)));
  std::vector<double> out(b.in.size());
  const HomVec4 a = HomVec4::init(0.3, -1.0, 0.5, 2.0);
  for (auto _ : state) {
    nemra_kernel::fsDistanceMany(a, b.in, out);
    benchmark::ClobberMemory();
  }
  setBatch(state, b.in.size());
}

void fsDistanceLoop(benchmark::State& state) {
  PointBatch b = pointBatch(static_cast<std::size_t>(state.range(0)));
  std::vector<double> out(b.in.size());
  const HomVec4 a = HomVec4::init(0.3, -1.0, 0.5, 2.0);
  for (auto _ : state) {
    for (std::size_t i = 0; i < b.in.size(); ++i) out[i] = nemra_kernel::fsDistance(a, b.in[i]);
    benchmark::ClobberMemory();
  }
  setBatch(state, b.in.size());
}

void det(benchmark::State& state) {
  const std::vector<PGL4> m = matrices(1);
  timeBatch(state, kMatrixBatch, [&](std::size_t i) -> double { return m[i].det(); });
}

void transpose(benchmark::State& state) {
  const std::vector<PGL4> m = matrices(1);
  timeBatch(state, kMatrixBatch, [&](std::size_t i) -> PGL4 { return m[i].transpose(); });
}

void normalizeDet(benchmark::State& state) {
  const std::vector<PGL4> m = matrices(1);
  timeBatch(state, kMatrixBatch, [&](std::size_t i) -> PGL4 { return m[i].normalizeDet(); });
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
  timeBatch(state, kPairBatch,
            [&](std::size_t i) -> double { return nemra_kernel::fsDistance(a[i], b[i]); });
}

void cordicInvSqrt(benchmark::State& state) {
  const std::vector<double> x = positiveScalars(kScalarBatch, 5);
  timeBatch(state, kScalarBatch,
            [&](std::size_t i) -> double { return nemra_kernel::cordicInvSqrt(x[i]); });
}

// The library's square root and a division, for scale.
void invSqrtStd(benchmark::State& state) {
  const std::vector<double> x = positiveScalars(kScalarBatch, 5);
  timeBatch(state, kScalarBatch, [&](std::size_t i) -> double { return 1.0 / std::sqrt(x[i]); });
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
  timeBatch(state, kScalarBatch,
            [&](std::size_t i) -> float { return nemra_kernel::simdDot4(a[i], b[i]); });
}

void simdNormalize3(benchmark::State& state) {
  const std::vector<F32x4> v = lanes(6);
  timeBatch(state, kScalarBatch,
            [&](std::size_t i) -> F32x4 { return nemra_kernel::simdNormalize3(v[i]); });
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
  for (const std::size_t n : {kPointsSmall, kPointsLarge}) {
    const auto points = static_cast<std::int64_t>(n);
    benchmark::RegisterBenchmark("applyMany/nemra", applyMany)->Arg(points);
    benchmark::RegisterBenchmark("applyMany/loop", applyLoop)->Arg(points);
    benchmark::RegisterBenchmark("fsDistanceMany/nemra", fsDistanceMany)->Arg(points);
    benchmark::RegisterBenchmark("fsDistanceMany/loop", fsDistanceLoop)->Arg(points);
  }
  return 0;
}();

}  // namespace
}  // namespace nemra_bench
