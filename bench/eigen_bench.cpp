// The kernel's benchmarked operations written with Eigen 3.4 (Matrix4d, Vector4d, Vector4f), on
// the same inputs as kernel_bench.cpp, in the same process. Built only when Eigen is found.
//
// Each is the idiomatic Eigen spelling of the operation, with the kernel's semantics where they
// matter for the cost: fsDistance and normalizeDet keep their guards, and the clamp of the cosine
// is a comparison that takes NaN as 1.
#include <Eigen/Dense>
#include <cmath>
#include <cstddef>
#include <vector>

#include <benchmark/benchmark.h>

#include "bench_data.hpp"

namespace nemra_bench {
namespace {

using Eigen::Matrix4d;
using Eigen::Vector4d;
using Eigen::Vector4f;

std::vector<Matrix4d> matrices(std::uint64_t seed) {
  std::vector<Matrix4d> out;
  for (const Mat& m : randomMatrices(kMatrixBatch, seed)) {
    out.push_back(Eigen::Map<const Matrix4d>(m.data()));  // column-major, as PGL4
  }
  return out;
}

Vector4d toVector(const Vec& v) { return Vector4d(v[0], v[1], v[2], v[3]); }

void mul(benchmark::State& state) {
  const std::vector<Matrix4d> a = matrices(1), b = matrices(2);
  timeBatch(state, kMatrixBatch, [&](std::size_t i) -> Matrix4d { return a[i] * b[i]; });
}

void apply(benchmark::State& state) {
  const std::vector<Matrix4d> m = matrices(1);
  std::vector<Vector4d> v;
  for (const Vec& x : randomVectors(kMatrixBatch, 3)) v.push_back(toVector(x));
  timeBatch(state, kMatrixBatch, [&](std::size_t i) -> Vector4d { return m[i] * v[i]; });
}

// Matrix4d * Matrix4Xd over the points of applyMany/nemra (the same matrix and points), into a
// separate output.
void applyMany(benchmark::State& state) {
  const auto n = static_cast<std::size_t>(state.range(0));
  const Matrix4d m = Eigen::Map<const Matrix4d>(randomMatrices(1, 1)[0].data());
  Eigen::Matrix4Xd in(4, static_cast<Eigen::Index>(n));
  const std::vector<Vec> points = randomVectors(n, 8);
  for (std::size_t i = 0; i < n; ++i) in.col(static_cast<Eigen::Index>(i)) = toVector(points[i]);
  Eigen::Matrix4Xd out(4, static_cast<Eigen::Index>(n));
  for (auto _ : state) {
    out.noalias() = m * in;
    benchmark::ClobberMemory();
  }
  setBatch(state, n);
}

void det(benchmark::State& state) {
  const std::vector<Matrix4d> m = matrices(1);
  timeBatch(state, kMatrixBatch, [&](std::size_t i) -> double { return m[i].determinant(); });
}

void transpose(benchmark::State& state) {
  const std::vector<Matrix4d> m = matrices(1);
  timeBatch(state, kMatrixBatch, [&](std::size_t i) -> Matrix4d { return m[i].transpose(); });
}

Matrix4d normalizeDetOf(const Matrix4d& m) {
  const double d = m.determinant();
  if (std::fabs(d) < 1e-15) return m;
  return m * std::pow(std::fabs(d), -0.25);
}

void normalizeDet(benchmark::State& state) {
  const std::vector<Matrix4d> m = matrices(1);
  timeBatch(state, kMatrixBatch, [&](std::size_t i) -> Matrix4d { return normalizeDetOf(m[i]); });
}

// The regularised Newton–Schulz iteration: three products and the residual per step.
Matrix4d newtonSchulz(const Matrix4d& self, double delta, std::uint32_t budget) {
  const Matrix4d id = Matrix4d::Identity();
  const Matrix4d m = self + delta * id;
  Matrix4d x = m.transpose() / m.squaredNorm();
  for (std::uint32_t i = 0; i < budget; ++i) {
    const Matrix4d mx = m * x;
    x = x * (2.0 * id - mx);
    if ((m * x - id).cwiseAbs().maxCoeff() < 1e-12) break;
  }
  return x;
}

void inverse(benchmark::State& state, const Matrix4d& input, double delta, std::uint32_t budget) {
  for (auto _ : state) {
    Matrix4d m = input;
    benchmark::DoNotOptimize(m);
    Matrix4d r = newtonSchulz(m, delta, budget);
    benchmark::DoNotOptimize(r);
  }
  setBatch(state, 1);
}

double fsDistanceOf(const Vector4d& a, const Vector4d& b) {
  const double n1 = a.norm();
  const double n2 = b.norm();
  if (n1 < 1e-15 || n2 < 1e-15) return 0.0;
  const double d = std::fabs(a.dot(b)) / (n1 * n2);
  return std::acos(d < 1.0 ? d : 1.0);
}

void fsDistance(benchmark::State& state) {
  const PairSet pairs = fsDistancePairs(kPairBatch, 4);
  std::vector<Vector4d> a, b;
  for (std::size_t i = 0; i < kPairBatch; ++i) {
    a.push_back(toVector(pairs.a[i]));
    b.push_back(toVector(pairs.b[i]));
  }
  timeBatch(state, kPairBatch, [&](std::size_t i) -> double { return fsDistanceOf(a[i], b[i]); });
}

std::vector<Vector4f> lanes(std::uint64_t seed) {
  std::vector<Vector4f> out;
  for (const auto& v : randomFloat4(kScalarBatch, seed)) out.emplace_back(v[0], v[1], v[2], v[3]);
  return out;
}

void dot4(benchmark::State& state) {
  const std::vector<Vector4f> a = lanes(6), b = lanes(7);
  timeBatch(state, kScalarBatch, [&](std::size_t i) -> float { return a[i].dot(b[i]); });
}

void normalize4(benchmark::State& state) {
  const std::vector<Vector4f> v = lanes(6);
  timeBatch(state, kScalarBatch, [&](std::size_t i) -> Vector4f {
    const float d = v[i].squaredNorm();
    return d < 1e-15f ? Vector4f(0, 0, 0, 1) : Vector4f(v[i] / std::sqrt(d));
  });
}

[[maybe_unused]] const int kRegistered = [] {
  benchmark::RegisterBenchmark("mul/eigen", mul);
  benchmark::RegisterBenchmark("apply/eigen", apply);
  benchmark::RegisterBenchmark("det/eigen", det);
  benchmark::RegisterBenchmark("transpose/eigen", transpose);
  benchmark::RegisterBenchmark("normalizeDet/eigen", normalizeDet);
  const Matrix4d translate =
      (Matrix4d() << 1, 0, 0, 10, 0, 1, 0, 20, 0, 0, 1, 30, 0, 0, 0, 1).finished();
  benchmark::RegisterBenchmark("nsBudgetShort/eigen", inverse, translate, 0.0, kShortBudget);
  benchmark::RegisterBenchmark("nsBudgetLong/eigen", inverse, translate, 0.0, kLongBudget);
  benchmark::RegisterBenchmark("fsDistance/eigen", fsDistance);
  benchmark::RegisterBenchmark("simdDot4/eigen", dot4);
  benchmark::RegisterBenchmark("simdNormalize3/eigen", normalize4);
  for (const std::size_t n : {kPointsSmall, kPointsLarge}) {
    benchmark::RegisterBenchmark("applyMany/eigen", applyMany)->Arg(static_cast<std::int64_t>(n));
  }
  return 0;
}();

}  // namespace
}  // namespace nemra_bench
