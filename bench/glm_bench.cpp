// The kernel's benchmarked operations written with glm (dmat4, dvec4, vec4), on the same inputs
// as kernel_bench.cpp, in the same process. Built only when glm is found. As in eigen_bench.cpp,
// fsDistance and normalizeDet keep the kernel's guards and the NaN-absorbing clamp.
#include <cmath>
#include <cstddef>
#include <glm/glm.hpp>
#include <glm/gtc/type_ptr.hpp>
#include <vector>

#include <benchmark/benchmark.h>

#include "bench_data.hpp"

namespace nemra_bench {
namespace {

std::vector<glm::dmat4> matrices(std::uint64_t seed) {
  std::vector<glm::dmat4> out;
  for (const Mat& m : randomMatrices(kMatrixBatch, seed)) {
    out.push_back(glm::make_mat4(m.data()));  // column-major, as PGL4
  }
  return out;
}

glm::dvec4 toVector(const Vec& v) { return glm::dvec4(v[0], v[1], v[2], v[3]); }

void mul(benchmark::State& state) {
  const std::vector<glm::dmat4> a = matrices(1), b = matrices(2);
  timeBatch(state, kMatrixBatch, [&](std::size_t i) -> glm::dmat4 { return a[i] * b[i]; });
}

void apply(benchmark::State& state) {
  const std::vector<glm::dmat4> m = matrices(1);
  std::vector<glm::dvec4> v;
  for (const Vec& x : randomVectors(kMatrixBatch, 3)) v.push_back(toVector(x));
  timeBatch(state, kMatrixBatch, [&](std::size_t i) -> glm::dvec4 { return m[i] * v[i]; });
}

void det(benchmark::State& state) {
  const std::vector<glm::dmat4> m = matrices(1);
  timeBatch(state, kMatrixBatch, [&](std::size_t i) -> double { return glm::determinant(m[i]); });
}

void transpose(benchmark::State& state) {
  const std::vector<glm::dmat4> m = matrices(1);
  timeBatch(state, kMatrixBatch, [&](std::size_t i) -> glm::dmat4 { return glm::transpose(m[i]); });
}

glm::dmat4 normalizeDetOf(const glm::dmat4& m) {
  const double d = glm::determinant(m);
  if (std::fabs(d) < 1e-15) return m;
  return m * std::pow(std::fabs(d), -0.25);
}

void normalizeDet(benchmark::State& state) {
  const std::vector<glm::dmat4> m = matrices(1);
  timeBatch(state, kMatrixBatch, [&](std::size_t i) -> glm::dmat4 { return normalizeDetOf(m[i]); });
}

// The regularised Newton–Schulz iteration: three products and the residual per step.
glm::dmat4 newtonSchulz(const glm::dmat4& self, double delta, std::uint32_t budget) {
  const glm::dmat4 id(1.0);
  const glm::dmat4 m = self + id * delta;
  double norm_sq = 0.0;
  for (int c = 0; c < 4; ++c) norm_sq += glm::dot(m[c], m[c]);
  glm::dmat4 x = glm::transpose(m) / norm_sq;
  for (std::uint32_t i = 0; i < budget; ++i) {
    const glm::dmat4 mx = m * x;
    x = x * (id * 2.0 - mx);
    const glm::dmat4 r = m * x - id;
    double residual = 0.0;
    for (int c = 0; c < 4; ++c) {
      const glm::dvec4 a = glm::abs(r[c]);
      residual = glm::max(residual, glm::max(glm::max(a.x, a.y), glm::max(a.z, a.w)));
    }
    if (residual < 1e-12) break;
  }
  return x;
}

void inverse(benchmark::State& state, const glm::dmat4& input, double delta, std::uint32_t budget) {
  for (auto _ : state) {
    glm::dmat4 m = input;
    benchmark::DoNotOptimize(m);
    glm::dmat4 r = newtonSchulz(m, delta, budget);
    benchmark::DoNotOptimize(r);
  }
  setBatch(state, 1);
}

double fsDistanceOf(const glm::dvec4& a, const glm::dvec4& b) {
  const double n1 = glm::length(a);
  const double n2 = glm::length(b);
  if (n1 < 1e-15 || n2 < 1e-15) return 0.0;
  const double d = std::fabs(glm::dot(a, b)) / (n1 * n2);
  return std::acos(d < 1.0 ? d : 1.0);
}

void fsDistance(benchmark::State& state) {
  const PairSet pairs = fsDistancePairs(kPairBatch, 4);
  std::vector<glm::dvec4> a, b;
  for (std::size_t i = 0; i < kPairBatch; ++i) {
    a.push_back(toVector(pairs.a[i]));
    b.push_back(toVector(pairs.b[i]));
  }
  timeBatch(state, kPairBatch, [&](std::size_t i) -> double { return fsDistanceOf(a[i], b[i]); });
}

std::vector<glm::vec4> lanes(std::uint64_t seed) {
  std::vector<glm::vec4> out;
  for (const auto& v : randomFloat4(kScalarBatch, seed)) out.emplace_back(v[0], v[1], v[2], v[3]);
  return out;
}

void dot4(benchmark::State& state) {
  const std::vector<glm::vec4> a = lanes(6), b = lanes(7);
  timeBatch(state, kScalarBatch, [&](std::size_t i) -> float { return glm::dot(a[i], b[i]); });
}

void normalize4(benchmark::State& state) {
  const std::vector<glm::vec4> v = lanes(6);
  timeBatch(state, kScalarBatch, [&](std::size_t i) -> glm::vec4 {
    const float d = glm::dot(v[i], v[i]);
    return d < 1e-15f ? glm::vec4(0, 0, 0, 1) : v[i] / std::sqrt(d);
  });
}

[[maybe_unused]] const int kRegistered = [] {
  benchmark::RegisterBenchmark("mul/glm", mul);
  benchmark::RegisterBenchmark("apply/glm", apply);
  benchmark::RegisterBenchmark("det/glm", det);
  benchmark::RegisterBenchmark("transpose/glm", transpose);
  benchmark::RegisterBenchmark("normalizeDet/glm", normalizeDet);
  glm::dmat4 translate(1.0);
  translate[3] = glm::dvec4(10, 20, 30, 1);
  benchmark::RegisterBenchmark("nsBudgetShort/glm", inverse, translate, 0.0, kShortBudget);
  benchmark::RegisterBenchmark("nsBudgetLong/glm", inverse, translate, 0.0, kLongBudget);
  benchmark::RegisterBenchmark("fsDistance/glm", fsDistance);
  benchmark::RegisterBenchmark("simdDot4/glm", dot4);
  benchmark::RegisterBenchmark("simdNormalize3/glm", normalize4);
  return 0;
}();

}  // namespace
}  // namespace nemra_bench
