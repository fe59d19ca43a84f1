// NearestIndex against World::findNearest on the same world: 1e3 to 1e6 active entities at random
// unit vectors of R⁴, and a clustered world of 1e6 (every position within 1e-3 radians of one
// point). Timed: findNearest, the index's nearest, kNearest with k = 16, withinDistance with a
// radius that holds about 100 entities, and build. Before any timing, every index answer used is
// compared with the world's own call; a difference aborts the program. The build benchmark also
// reports the index's bytes per entity and the peak bytes per entity while it is built.
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <memory_resource>
#include <numbers>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include <benchmark/benchmark.h>

#include <nemra_ecs/nearest_index.hpp>
#include <nemra_ecs/world.hpp>
#include <nemra_kernel/hom_vec4.hpp>

#include "bench_data.hpp"

namespace nemra_bench {
namespace {

using nemra_ecs::EntityId;
using nemra_ecs::NearestIndex;
using nemra_ecs::World;
using nemra_kernel::HomVec4;

constexpr std::size_t kQueries = 16;
constexpr std::size_t kK = 16;
constexpr double kWithinCount = 100;

[[noreturn]] void fail(const std::string& message) {
  std::fprintf(stderr, "nemra-bench: %s\n", message.c_str());
  std::abort();
}

// Counts the bytes held and the most held at once.
class CountingResource final : public std::pmr::memory_resource {
 public:
  std::size_t held = 0;
  std::size_t peak = 0;

 private:
  void* do_allocate(std::size_t bytes, std::size_t alignment) override {
    void* p = std::pmr::new_delete_resource()->allocate(bytes, alignment);
    held += bytes;
    peak = std::max(peak, held);
    return p;
  }
  void do_deallocate(void* p, std::size_t bytes, std::size_t alignment) override {
    held -= bytes;
    std::pmr::new_delete_resource()->deallocate(p, bytes, alignment);
  }
  bool do_is_equal(const std::pmr::memory_resource& other) const noexcept override {
    return this == &other;
  }
};

// The radius of a ball of P³ holding `fraction` of its volume: (2ρ − sin 2ρ) / π = fraction.
double radiusHolding(double fraction) {
  double lo = 0.0, hi = std::numbers::pi / 2;
  for (int i = 0; i < 200; ++i) {
    const double mid = 0.5 * (lo + hi);
    ((2 * mid - std::sin(2 * mid)) / std::numbers::pi < fraction ? lo : hi) = mid;
  }
  return lo;
}

struct Scene {
  World world = World::init(std::pmr::new_delete_resource());
  NearestIndex index = NearestIndex::init(std::pmr::new_delete_resource());
  std::vector<HomVec4> queries;
  double radius = 0.0;
  double mean_within = 0.0;  // entities within the radius, averaged over the queries
};

HomVec4 unitGaussian(std::mt19937_64& rng) {
  std::normal_distribution<double> g;
  return HomVec4::init(g(rng), g(rng), g(rng), g(rng)).normalize();
}

// A unit vector within 1e-3 radians of the unit vector c.
HomVec4 nearCentre(std::mt19937_64& rng, HomVec4 c) {
  const HomVec4 g = unitGaussian(rng);
  const double s = 0.49e-3 * std::uniform_real_distribution<double>(0.0, 1.0)(rng);
  return HomVec4::init(c.x + s * g.x, c.y + s * g.y, c.z + s * g.z, c.w + s * g.w).normalize();
}

std::unique_ptr<Scene> buildScene(std::size_t n, bool clustered) {
  auto scene = std::make_unique<Scene>();
  std::mt19937_64 rng(4000 + n + (clustered ? 1U : 0U));
  const HomVec4 centre = unitGaussian(rng);
  scene->world.entities.reserve(n);
  for (std::size_t i = 0; i < n; ++i) {
    if (!scene->world.createEntity("e")) fail("createEntity failed while building a scene");
    scene->world.entities.back().setPosition(clustered ? nearCentre(rng, centre)
                                                       : unitGaussian(rng));
  }
  for (std::size_t q = 0; q < kQueries; ++q) {
    scene->queries.push_back(clustered ? nearCentre(rng, centre) : unitGaussian(rng));
  }
  auto index = NearestIndex::build(scene->world, std::pmr::new_delete_resource());
  if (!index) fail("NearestIndex::build failed");
  scene->index = std::move(*index);
  scene->radius = radiusHolding(kWithinCount / static_cast<double>(n));

  const World& w = scene->world;
  std::size_t within = 0;
  for (const HomVec4& q : scene->queries) {
    if (scene->index.nearest(q) != w.findNearest(q)) fail("nearest differs from findNearest");
    auto k_index = scene->index.kNearest(q, kK, nullptr);
    auto k_world = w.kNearest(q, kK, nullptr);
    if (!k_index || !k_world || *k_index != *k_world) fail("kNearest differs from the world's");
    auto r_index = scene->index.withinDistance(q, scene->radius, nullptr);
    auto r_world = w.withinDistance(q, scene->radius, nullptr);
    if (!r_index || !r_world || *r_index != *r_world)
      fail("withinDistance differs from the world's");
    within += r_index->size();
  }
  scene->mean_within = static_cast<double>(within) / kQueries;
  return scene;
}

Scene& scene(std::size_t n, bool clustered) {
  static std::map<std::pair<std::size_t, bool>, std::unique_ptr<Scene>> scenes;
  auto& slot = scenes[{n, clustered}];
  if (!slot) slot = buildScene(n, clustered);
  return *slot;
}

std::size_t sizeArg(const benchmark::State& state) {
  return static_cast<std::size_t>(state.range(0));
}

void worldFindNearest(benchmark::State& state, bool clustered) {
  const Scene& s = scene(sizeArg(state), clustered);
  for (auto _ : state) {
    for (const HomVec4& q : s.queries) benchmark::DoNotOptimize(s.world.findNearest(q));
  }
  setBatch(state, kQueries);
}

void indexNearest(benchmark::State& state, bool clustered) {
  const Scene& s = scene(sizeArg(state), clustered);
  for (auto _ : state) {
    for (const HomVec4& q : s.queries) benchmark::DoNotOptimize(s.index.nearest(q));
  }
  setBatch(state, kQueries);
}

void indexKNearest(benchmark::State& state) {
  const Scene& s = scene(sizeArg(state), false);
  for (auto _ : state) {
    for (const HomVec4& q : s.queries) {
      auto ids = s.index.kNearest(q, kK, std::pmr::new_delete_resource());
      benchmark::DoNotOptimize(ids);
    }
  }
  setBatch(state, kQueries);
}

void indexWithinDistance(benchmark::State& state) {
  const Scene& s = scene(sizeArg(state), false);
  for (auto _ : state) {
    for (const HomVec4& q : s.queries) {
      auto ids = s.index.withinDistance(q, s.radius, std::pmr::new_delete_resource());
      benchmark::DoNotOptimize(ids);
    }
  }
  state.counters["found"] = s.mean_within;
  setBatch(state, kQueries);
}

void indexBuild(benchmark::State& state) {
  const std::size_t n = sizeArg(state);
  const Scene& s = scene(n, false);
  CountingResource counting;
  std::size_t index_bytes = 0;
  for (auto _ : state) {
    auto index = NearestIndex::build(s.world, &counting);
    if (!index) fail("NearestIndex::build failed");
    index_bytes = counting.held;
    benchmark::DoNotOptimize(index);
  }
  state.counters["bytes_per_entity"] = static_cast<double>(index_bytes) / static_cast<double>(n);
  state.counters["peak_bytes_per_entity"] =
      static_cast<double>(counting.peak) / static_cast<double>(n);
  setBatch(state, 1);
}

[[maybe_unused]] const int kRegistered = [] {
  auto sizes = [](benchmark::internal::Benchmark* b) {
    b->Arg(1000)->Arg(10000)->Arg(100000)->Arg(1000000)->Unit(benchmark::kMicrosecond);
  };
  sizes(benchmark::RegisterBenchmark("nearestIndex/findNearest", worldFindNearest, false));
  sizes(benchmark::RegisterBenchmark("nearestIndex/nearest", indexNearest, false));
  sizes(benchmark::RegisterBenchmark("nearestIndex/kNearest16", indexKNearest));
  sizes(benchmark::RegisterBenchmark("nearestIndex/withinDistance100", indexWithinDistance));
  sizes(benchmark::RegisterBenchmark("nearestIndex/build", indexBuild));
  for (auto* b :
       {benchmark::RegisterBenchmark("nearestIndex/findNearest/clustered", worldFindNearest, true),
        benchmark::RegisterBenchmark("nearestIndex/nearest/clustered", indexNearest, true)}) {
    b->Arg(1000000)->Unit(benchmark::kMicrosecond);
  }
  return 0;
}();

}  // namespace
}  // namespace nemra_bench
