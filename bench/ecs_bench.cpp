// The entity-component system at 1e3 to 1e6 entities (all active, and a random half active), and
// the archetype registry at 1e2 to 1e5 archetypes (createArchetype, query).
//
// Beside World::findNearest runs the literal scan over the same records: one fsDistance per
// active entity, the first strictly smaller distance wins. Before any timing, findNearest is
// compared with that scan on every query used (the timed ones and a set of edge queries: zero,
// NaN, tiny and huge queries, queries at duplicated positions and their antipodes); a different
// answer aborts the program with a message. The timed loop compares again on every call.
#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <map>
#include <memory>
#include <memory_resource>
#include <optional>
#include <random>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include <benchmark/benchmark.h>

#include <nemra_ecs/archetype_registry.hpp>
#include <nemra_ecs/query.hpp>
#include <nemra_ecs/world.hpp>
#include <nemra_kernel/fs_distance.hpp>
#include <nemra_kernel/hom_vec4.hpp>

#include "bench_data.hpp"
#include "support/literal_scans.hpp"

namespace nemra_bench {
namespace {

using nemra_ecs::ArchetypeRegistry;
using nemra_ecs::ComponentTypeId;
using nemra_ecs::Entity;
using nemra_ecs::EntityId;
using nemra_ecs::World;
using nemra_kernel::HomVec4;

constexpr std::size_t kQueriesPerIteration = 16;
constexpr std::size_t kLookupsPerIteration = 16;

[[noreturn]] void fail(const std::string& message) {
  std::fprintf(stderr, "nemra-bench: %s\n", message.c_str());
  std::abort();
}

// The nearest active entity by one fsDistance per active entity in creation order, the first
// strictly smaller distance wins: the tests' literal scan.
std::optional<EntityId> literalScan(const World& world, HomVec4 query) {
  return nemra_test::literalNearest(world, query);
}

std::string describe(std::optional<EntityId> id) {
  return id ? std::to_string(id->id) : std::string("none");
}

// A world of n entities at random positions, with duplicates: about 1 % are left at the initial
// position (0, 0, 0, 1), about 2 % copy the position of an earlier entity (some negated, the same
// point of P³). With half_active, a random half is deactivated.
struct Scene {
  World world = World::init(std::pmr::new_delete_resource());
  std::vector<HomVec4> timed_queries;
  std::vector<HomVec4> edge_queries;
  std::vector<std::optional<EntityId>> expected;  // literal scan answer per timed query
};

std::unique_ptr<Scene> buildScene(std::size_t n, bool half_active) {
  auto scene = std::make_unique<Scene>();
  World& world = scene->world;
  world.entities.reserve(n);
  std::mt19937_64 rng(1000 + n + (half_active ? 1U : 0U));
  std::uniform_int_distribution<int> kind(0, 99);
  std::normal_distribution<double> gauss;
  auto direction = [&] { return HomVec4::init(gauss(rng), gauss(rng), gauss(rng), gauss(rng)); };
  std::vector<std::size_t> duplicated;
  for (std::size_t i = 0; i < n; ++i) {
    if (!world.createEntity("e")) fail("createEntity failed while building a scene");
    Entity& e = world.entities.back();
    const int k = kind(rng);
    if (k == 0) continue;  // stays at (0, 0, 0, 1)
    if (k <= 2 && i > 0) {
      const std::size_t j = std::uniform_int_distribution<std::size_t>(0, i - 1)(rng);
      const HomVec4 p = world.entities[j].position;
      e.setPosition(k == 1 ? p : HomVec4::init(-p.x, -p.y, -p.z, -p.w));
      duplicated.push_back(j);
      continue;
    }
    e.setPosition(direction());
  }
  if (half_active) {
    for (Entity& e : world.entities) {
      if (kind(rng) < 50) e.deactivate();
    }
  }

  for (std::size_t q = 0; q < kQueriesPerIteration; ++q)
    scene->timed_queries.push_back(direction());
  const double nan = std::numeric_limits<double>::quiet_NaN();
  scene->edge_queries = {HomVec4::zero(),
                         HomVec4::init(1e-16, 0, 0, 0),
                         HomVec4::init(nan, 0, 0, 1),
                         HomVec4::init(0, 0, 0, 5),
                         HomVec4::init(1e200, 1e200, 0, 0),
                         HomVec4::init(std::numeric_limits<double>::infinity(), 0, 0, 0)};
  for (std::size_t d = 0; d < duplicated.size() && d < 8; ++d) {
    const HomVec4 p = world.entities[duplicated[d]].position;
    scene->edge_queries.push_back(p);
    scene->edge_queries.push_back(HomVec4::init(-3 * p.x, -3 * p.y, -3 * p.z, -3 * p.w));
  }
  if (n > 0) scene->edge_queries.push_back(world.entities[n / 2].position);

  for (const HomVec4& q : scene->timed_queries) scene->expected.push_back(literalScan(world, q));
  const auto check = [&](const HomVec4& q, std::optional<EntityId> want) {
    const std::optional<EntityId> got = world.findNearest(q);
    if (got != want) {
      fail("findNearest differs from the literal scan at " + std::to_string(n) +
           " entities for the query (" + std::to_string(q.x) + ", " + std::to_string(q.y) + ", " +
           std::to_string(q.z) + ", " + std::to_string(q.w) + "): " + describe(got) + " vs " +
           describe(want));
    }
  };
  for (std::size_t q = 0; q < scene->timed_queries.size(); ++q) {
    check(scene->timed_queries[q], scene->expected[q]);
  }
  for (const HomVec4& q : scene->edge_queries) check(q, literalScan(world, q));
  return scene;
}

// Scenes are built on first use and kept: the largest takes a few hundred megabytes and a
// noticeable time to build and verify.
Scene& scene(std::size_t n, bool half_active) {
  static std::map<std::pair<std::size_t, bool>, std::unique_ptr<Scene>> scenes;
  auto& slot = scenes[{n, half_active}];
  if (!slot) slot = buildScene(n, half_active);
  return *slot;
}

std::size_t sizeArg(const benchmark::State& state) {
  return static_cast<std::size_t>(state.range(0));
}

void findNearest(benchmark::State& state, bool half_active) {
  const Scene& s = scene(sizeArg(state), half_active);
  std::size_t mismatches = 0;
  for (auto _ : state) {
    for (std::size_t q = 0; q < kQueriesPerIteration; ++q) {
      const std::optional<EntityId> got = s.world.findNearest(s.timed_queries[q]);
      benchmark::DoNotOptimize(got);
      mismatches += got != s.expected[q] ? 1U : 0U;
    }
  }
  if (mismatches != 0) fail("findNearest differed from the literal scan inside the timed loop");
  setBatch(state, kQueriesPerIteration);
}

void literalScanBench(benchmark::State& state, bool half_active) {
  const Scene& s = scene(sizeArg(state), half_active);
  for (auto _ : state) {
    for (std::size_t q = 0; q < kQueriesPerIteration; ++q) {
      benchmark::DoNotOptimize(literalScan(s.world, s.timed_queries[q]));
    }
  }
  setBatch(state, kQueriesPerIteration);
}

void getEntity(benchmark::State& state, bool half_active) {
  const std::size_t n = sizeArg(state);
  const Scene& s = scene(n, half_active);
  std::mt19937_64 rng(7);
  std::vector<EntityId> ids;
  for (std::size_t i = 0; i < kLookupsPerIteration; ++i) {
    ids.push_back(EntityId::init(std::uniform_int_distribution<std::uint64_t>(1, n)(rng)));
  }
  for (auto _ : state) {
    for (const EntityId id : ids) {
      const Entity* e = s.world.getEntity(id);
      if (e == nullptr) fail("getEntity missed an existing id");
      benchmark::DoNotOptimize(e);
    }
  }
  setBatch(state, kLookupsPerIteration);
}

// The last entity of a world of n, the lookup a linear scan is slowest at.
void getEntityLast(benchmark::State& state) {
  const std::size_t n = sizeArg(state);
  const Scene& s = scene(n, false);
  const EntityId last = s.world.entities.back().id;
  for (auto _ : state) {
    for (std::size_t i = 0; i < kLookupsPerIteration; ++i) {
      EntityId id = last;
      benchmark::DoNotOptimize(id);
      const Entity* e = s.world.getEntity(id);
      if (e == nullptr || e->id != last) fail("getEntity missed the last entity");
      benchmark::DoNotOptimize(e);
    }
  }
  setBatch(state, kLookupsPerIteration);
}

void activeCount(benchmark::State& state, bool half_active) {
  const Scene& s = scene(sizeArg(state), half_active);
  for (auto _ : state) benchmark::DoNotOptimize(s.world.activeCount());
  setBatch(state, 1);
}

// n createEntity calls on a fresh world, growth included; the world's release is timed too.
void createEntity(benchmark::State& state) {
  const std::size_t n = sizeArg(state);
  for (auto _ : state) {
    World world = World::init(std::pmr::new_delete_resource());
    for (std::size_t i = 0; i < n; ++i) {
      auto id = world.createEntity("e");
      benchmark::DoNotOptimize(id);
    }
    world.deinit();
  }
  setBatch(state, n);
}

void registerWorldBenchmarks() {
  for (const bool half : {false, true}) {
    const std::string mode = half ? "/half_active" : "/all_active";
    auto sizes = [](benchmark::internal::Benchmark* b) {
      b->Arg(1000)->Arg(10000)->Arg(100000)->Arg(1000000)->Unit(benchmark::kMicrosecond);
    };
    sizes(benchmark::RegisterBenchmark(("findNearest/nemra" + mode).c_str(), findNearest, half));
    sizes(benchmark::RegisterBenchmark(("findNearest/literal" + mode).c_str(), literalScanBench,
                                       half));
    sizes(benchmark::RegisterBenchmark(("getEntity/nemra" + mode).c_str(), getEntity, half));
    sizes(benchmark::RegisterBenchmark(("activeCount/nemra" + mode).c_str(), activeCount, half));
  }
  benchmark::RegisterBenchmark("getEntityLast/nemra", getEntityLast)
      ->Arg(1000)
      ->Arg(1000000)
      ->Unit(benchmark::kNanosecond);
  benchmark::RegisterBenchmark("createEntity/nemra", createEntity)
      ->Arg(1000)
      ->Arg(10000)
      ->Arg(100000)
      ->Arg(1000000)
      ->Unit(benchmark::kMicrosecond);
}

// The component types of archetype i: three of types 1..12, varying with i, so that a query for
// type 1 without type 3 matches a fraction of the registry.
std::array<ComponentTypeId, 3> archetypeTypes(std::size_t i) {
  return {ComponentTypeId::fromId(1 + i % 3), ComponentTypeId::fromId(3 + i % 5),
          ComponentTypeId::fromId(5 + i % 7)};
}

// n createArchetype calls on a fresh registry, growth included; the release is timed too.
void createArchetype(benchmark::State& state) {
  const std::size_t n = sizeArg(state);
  std::vector<std::array<ComponentTypeId, 3>> types;
  for (std::size_t i = 0; i < n; ++i) types.push_back(archetypeTypes(i));
  for (auto _ : state) {
    ArchetypeRegistry registry = ArchetypeRegistry::init(std::pmr::new_delete_resource());
    for (const auto& t : types) {
      auto id = registry.createArchetype(t);
      benchmark::DoNotOptimize(id);
    }
    registry.deinit();
  }
  setBatch(state, n);
}

// One query (required {1}, excluded {3}) over n archetypes, its result released.
void query(benchmark::State& state) {
  const std::size_t n = sizeArg(state);
  ArchetypeRegistry registry = ArchetypeRegistry::init(std::pmr::new_delete_resource());
  for (std::size_t i = 0; i < n; ++i) {
    auto id = registry.createArchetype(archetypeTypes(i));
    if (!id) fail("createArchetype failed while building a registry");
    for (std::size_t e = 0; e < i % 4; ++e) registry.archetypes.back().addEntity();
  }
  const std::array<ComponentTypeId, 1> required = {ComponentTypeId::fromId(1)};
  const std::array<ComponentTypeId, 1> excluded = {ComponentTypeId::fromId(3)};
  const auto filter = nemra_ecs::QueryFilter::initWithExclusions(required, excluded);
  std::size_t expected = 0;
  for (std::size_t i = 0; i < n; ++i) {
    const auto t = archetypeTypes(i);
    const bool has1 = t[0].id == 1;
    const bool has3 = t[0].id == 3 || t[1].id == 3;
    expected += has1 && !has3 ? 1U : 0U;
  }
  for (auto _ : state) {
    auto result = registry.query(std::pmr::new_delete_resource(), filter);
    if (!result || result->matching_archetypes.size() != expected) {
      fail("query returned a wrong number of archetypes");
    }
    benchmark::DoNotOptimize(result->total_entities);
    result->deinit();
  }
  setBatch(state, 1);
}

[[maybe_unused]] const int kRegistered = [] {
  registerWorldBenchmarks();
  for (auto* b : {benchmark::RegisterBenchmark("createArchetype/nemra", createArchetype),
                  benchmark::RegisterBenchmark("query/nemra", query)}) {
    b->Arg(100)->Arg(1000)->Arg(10000)->Arg(100000)->Unit(benchmark::kMicrosecond);
  }
  return 0;
}();

}  // namespace
}  // namespace nemra_bench
