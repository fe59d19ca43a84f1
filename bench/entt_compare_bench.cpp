// ComponentStore and World beside EnTT (v3.16.0, its public API only: registry, create, emplace,
// get, remove, destroy, view, storage reserve, snapshot and snapshot_loader) on the same
// operations, in the same process and run: get of a random entity, add then remove a tag on a
// random 10 %, create with two components, iterate two components (all entities, and those with a
// tag given to a random half), save and load a snapshot, erase all, and World's createEntity
// against the registry's create. Built only when NEMRA_BENCH_ENTT_DIR names a folder holding
// entt.hpp; scripts/bench prints the ratios nemra / EnTT.
//
// Names: "peer/<operation>/<library>/<entities>"; times are per entity (the batch counter).
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <entt.hpp>
#include <map>
#include <memory>
#include <memory_resource>
#include <numeric>
#include <random>
#include <vector>

#include <benchmark/benchmark.h>

#include <nemra_ecs/component_store.hpp>
#include <nemra_ecs/snapshot.hpp>
#include <nemra_ecs/world.hpp>

#include "bench_data.hpp"

namespace nemra_bench {
namespace {

using nemra_ecs::ComponentHandle;
using nemra_ecs::ComponentStore;
using nemra_ecs::EntityId;

struct Position {
  double x, y;
};
struct Velocity {
  double dx, dy;
};
struct Tag {};

constexpr std::size_t kLookups = 4096;

[[noreturn]] void fail(const char* message) {
  std::fprintf(stderr, "nemra-bench (peer): %s\n", message);
  std::abort();
}

std::size_t sizeArg(const benchmark::State& state) {
  return static_cast<std::size_t>(state.range(0));
}

// Positions 0 .. n − 1 in a fixed random order; the first `count` of them.
std::vector<std::uint32_t> randomPositions(std::size_t n, std::size_t count, std::uint64_t seed) {
  std::vector<std::uint32_t> all(n);
  std::iota(all.begin(), all.end(), 0U);
  std::mt19937_64 rng(seed);
  std::shuffle(all.begin(), all.end(), rng);
  all.resize(std::min(count, n));
  return all;
}
// `count` positions drawn at random, repeats allowed.
std::vector<std::uint32_t> randomDraws(std::size_t n, std::size_t count, std::uint64_t seed) {
  std::mt19937_64 rng(seed);
  std::vector<std::uint32_t> out(count);
  for (std::uint32_t& p : out) p = static_cast<std::uint32_t>(rng() % n);
  return out;
}

void registerTypes(ComponentStore& store) {
  if (!store.registerType<Position>("position") || !store.registerType<Velocity>("velocity") ||
      !store.registerType<Tag>("tag")) {
    fail("registerType");
  }
}

// n entities with Position and Velocity: entity k (from 0) is id k + 1 in the store.
struct NemraScene {
  ComponentStore store = ComponentStore::init(std::pmr::new_delete_resource());
  explicit NemraScene(std::size_t n) {
    registerTypes(store);
    for (std::size_t k = 0; k < n; ++k) {
      const double d = static_cast<double>(k);
      if (!store.set(EntityId::init(k + 1), Position{d, -d}, Velocity{0.5, d * 1e-3})) {
        fail("set");
      }
    }
  }
};
struct EnttScene {
  entt::registry registry;
  std::vector<entt::entity> entities;
  explicit EnttScene(std::size_t n) {
    for (std::size_t k = 0; k < n; ++k) {
      const double d = static_cast<double>(k);
      const entt::entity e = registry.create();
      registry.emplace<Position>(e, d, -d);
      registry.emplace<Velocity>(e, 0.5, d * 1e-3);
      entities.push_back(e);
    }
  }
};

template <class S>
S& scene(std::size_t n) {
  static std::map<std::size_t, std::unique_ptr<S>> scenes;
  auto& slot = scenes[n];
  if (!slot) slot = std::make_unique<S>(n);
  return *slot;
}

// --- get of a random entity -----------------------------------------------------------------

void getNemraHandle(benchmark::State& state) {
  NemraScene& s = scene<NemraScene>(sizeArg(state));
  const std::vector<std::uint32_t> at = randomDraws(sizeArg(state), kLookups, 1);
  const ComponentHandle<Position> position = *s.store.handle<Position>();
  for (auto _ : state) {
    double sum = 0;
    for (std::uint32_t k : at) sum += s.store.get(EntityId::init(k + 1ULL), position)->x;
    benchmark::DoNotOptimize(sum);
  }
  setBatch(state, kLookups);
}
void getNemraTyped(benchmark::State& state) {
  NemraScene& s = scene<NemraScene>(sizeArg(state));
  const std::vector<std::uint32_t> at = randomDraws(sizeArg(state), kLookups, 1);
  for (auto _ : state) {
    double sum = 0;
    for (std::uint32_t k : at) sum += s.store.get<Position>(EntityId::init(k + 1ULL))->x;
    benchmark::DoNotOptimize(sum);
  }
  setBatch(state, kLookups);
}
void getEntt(benchmark::State& state) {
  EnttScene& s = scene<EnttScene>(sizeArg(state));
  const std::vector<std::uint32_t> at = randomDraws(sizeArg(state), kLookups, 1);
  for (auto _ : state) {
    double sum = 0;
    for (std::uint32_t k : at) sum += s.registry.get<Position>(s.entities[k]).x;
    benchmark::DoNotOptimize(sum);
  }
  setBatch(state, kLookups);
}

// --- add then remove a tag on a random 10 % (per entity toggled) ----------------------------

void toggleNemra(benchmark::State& state) {
  NemraScene& s = scene<NemraScene>(sizeArg(state));
  const std::vector<std::uint32_t> at = randomPositions(sizeArg(state), sizeArg(state) / 10, 2);
  const ComponentHandle<Tag> tag = *s.store.handle<Tag>();
  for (auto _ : state) {
    for (std::uint32_t k : at) {
      if (!s.store.set(EntityId::init(k + 1ULL), tag, Tag{})) fail("set tag");
    }
    for (std::uint32_t k : at) {
      if (!s.store.remove(EntityId::init(k + 1ULL), tag)) fail("remove tag");
    }
  }
  setBatch(state, at.size());
}
void toggleEntt(benchmark::State& state) {
  EnttScene& s = scene<EnttScene>(sizeArg(state));
  const std::vector<std::uint32_t> at = randomPositions(sizeArg(state), sizeArg(state) / 10, 2);
  for (auto _ : state) {
    for (std::uint32_t k : at) s.registry.emplace<Tag>(s.entities[k]);
    for (std::uint32_t k : at) s.registry.remove<Tag>(s.entities[k]);
  }
  setBatch(state, at.size());
}
// The least an archetype store can do for the same toggles: plain arrays, no types looked up and
// no checks. Two tables (without and with the tag) of ids, positions and velocities, and a dense
// index from id to table and row; adding the tag moves the row to the end of the other table and
// the first table's last row into the hole, as removing it does back.
struct FloorScene {
  struct Table {
    std::vector<std::uint64_t> ids;
    std::vector<Position> positions;
    std::vector<Velocity> velocities;
  };
  struct Row {
    std::uint32_t table, row;
  };
  Table tables[2];
  std::vector<Row> index;
  explicit FloorScene(std::size_t n) : index(n + 1) {
    for (std::size_t k = 0; k < n; ++k) {
      const double d = static_cast<double>(k);
      tables[0].ids.push_back(k + 1);
      tables[0].positions.push_back({d, -d});
      tables[0].velocities.push_back({0.5, d * 1e-3});
      index[k + 1] = {0, static_cast<std::uint32_t>(k)};
    }
    for (Table& t : tables) {
      t.ids.reserve(n);
      t.positions.reserve(n);
      t.velocities.reserve(n);
    }
  }
  void move(std::uint64_t id, std::uint32_t to) {
    const Row at = index[id];
    Table& from = tables[at.table];
    Table& dest = tables[to];
    index[id] = {to, static_cast<std::uint32_t>(dest.ids.size())};
    dest.ids.push_back(id);
    dest.positions.push_back(from.positions[at.row]);
    dest.velocities.push_back(from.velocities[at.row]);
    const std::uint64_t last = from.ids.back();
    from.ids[at.row] = last;
    from.positions[at.row] = from.positions.back();
    from.velocities[at.row] = from.velocities.back();
    index[last].row = at.row;
    from.ids.pop_back();
    from.positions.pop_back();
    from.velocities.pop_back();
  }
};
void toggleFloor(benchmark::State& state) {
  FloorScene& s = scene<FloorScene>(sizeArg(state));
  const std::vector<std::uint32_t> at = randomPositions(sizeArg(state), sizeArg(state) / 10, 2);
  for (auto _ : state) {
    for (std::uint32_t k : at) s.move(k + 1ULL, 1);
    for (std::uint32_t k : at) s.move(k + 1ULL, 0);
    benchmark::ClobberMemory();
  }
  setBatch(state, at.size());
}

// --- iterate Position + Velocity, without and with a tag on a random half -------------------

struct NemraTagged : NemraScene {
  explicit NemraTagged(std::size_t n) : NemraScene(n) {
    for (std::uint32_t k : randomPositions(n, n / 2, 3)) {
      if (!store.set(EntityId::init(k + 1ULL), Tag{})) fail("set tag");
    }
  }
};
struct EnttTagged : EnttScene {
  explicit EnttTagged(std::size_t n) : EnttScene(n) {
    for (std::uint32_t k : randomPositions(n, n / 2, 3)) registry.emplace<Tag>(entities[k]);
  }
};

// The entities that have the tag, with their Position and Velocity.
void iterateTaggedNemra(benchmark::State& state) {
  NemraTagged& s = scene<NemraTagged>(sizeArg(state));
  for (auto _ : state) {
    s.store.each<Position, Velocity, Tag>([](EntityId, Position& p, const Velocity& v, Tag&) {
      p.x += v.dx;
      p.y += v.dy;
    });
    benchmark::ClobberMemory();
  }
  setBatch(state, sizeArg(state));
}
void iterateTaggedEntt(benchmark::State& state) {
  EnttTagged& s = scene<EnttTagged>(sizeArg(state));
  for (auto _ : state) {
    s.registry.view<Position, Velocity, Tag>().each([](Position& p, const Velocity& v) {
      p.x += v.dx;
      p.y += v.dy;
    });
    benchmark::ClobberMemory();
  }
  setBatch(state, sizeArg(state));
}

template <class S>
void iterateNemra(benchmark::State& state) {
  S& s = scene<S>(sizeArg(state));
  for (auto _ : state) {
    s.store.template each<Position, Velocity>([](EntityId, Position& p, const Velocity& v) {
      p.x += v.dx;
      p.y += v.dy;
    });
    benchmark::ClobberMemory();
  }
  setBatch(state, sizeArg(state));
}
template <class S>
void iterateEntt(benchmark::State& state) {
  S& s = scene<S>(sizeArg(state));
  for (auto _ : state) {
    s.registry.template view<Position, Velocity>().each([](Position& p, const Velocity& v) {
      p.x += v.dx;
      p.y += v.dy;
    });
    benchmark::ClobberMemory();
  }
  setBatch(state, sizeArg(state));
}

// --- save and load a snapshot of the same content (per entity) ------------------------------
// Both into fresh memory each time, as a program that saves a state and sends it off would:
// nemra's snapshot of an empty world and the store (types, tables, checksum); EnTT's of its
// entities and both components through archives that append bytes to a vector and read them
// back. The objects loaded into are destroyed outside the timing.

struct ByteWriter {
  std::vector<std::byte>* bytes;
  template <class T>
  void operator()(const T& value) {
    const std::size_t at = bytes->size();
    bytes->resize(at + sizeof(T));
    std::memcpy(bytes->data() + at, &value, sizeof(T));
  }
};
struct ByteReader {
  const std::byte* at;
  template <class T>
  void operator()(T& value) {
    std::memcpy(&value, at, sizeof(T));
    at += sizeof(T);
  }
};

std::vector<std::byte> enttSave(const entt::registry& registry) {
  std::vector<std::byte> bytes;
  ByteWriter out{&bytes};
  entt::snapshot{registry}.get<entt::entity>(out).get<Position>(out).get<Velocity>(out);
  return bytes;
}

// A snapshot of an empty world and the scene's store.
std::pmr::vector<std::byte> nemraSave(const NemraScene& s) {
  const nemra_ecs::World world = nemra_ecs::World::init(std::pmr::new_delete_resource());
  auto bytes = nemra_ecs::saveSnapshot(world, s.store, std::pmr::new_delete_resource());
  if (!bytes) fail("saveSnapshot");
  return std::move(*bytes);
}

void saveNemra(benchmark::State& state) {
  NemraScene& s = scene<NemraScene>(sizeArg(state));
  for (auto _ : state) {
    const std::pmr::vector<std::byte> bytes = nemraSave(s);
    benchmark::DoNotOptimize(bytes.data());
  }
  setBatch(state, sizeArg(state));
}
void saveEntt(benchmark::State& state) {
  EnttScene& s = scene<EnttScene>(sizeArg(state));
  for (auto _ : state) {
    const std::vector<std::byte> bytes = enttSave(s.registry);
    benchmark::DoNotOptimize(bytes.data());
  }
  setBatch(state, sizeArg(state));
}
void loadNemra(benchmark::State& state) {
  NemraScene& s = scene<NemraScene>(sizeArg(state));
  const std::pmr::vector<std::byte> bytes = nemraSave(s);
  for (auto _ : state) {
    nemra_ecs::World world = nemra_ecs::World::init(std::pmr::new_delete_resource());
    ComponentStore store = ComponentStore::init(std::pmr::new_delete_resource());
    registerTypes(store);
    if (!nemra_ecs::loadSnapshot(bytes, world, store)) fail("loadSnapshot");
    benchmark::DoNotOptimize(store.entityCount());
    state.PauseTiming();
    store.deinit();
    world.deinit();
    state.ResumeTiming();
  }
  setBatch(state, sizeArg(state));
}
void loadEntt(benchmark::State& state) {
  EnttScene& s = scene<EnttScene>(sizeArg(state));
  const std::vector<std::byte> bytes = enttSave(s.registry);
  for (auto _ : state) {
    auto registry = std::make_unique<entt::registry>();
    ByteReader in{bytes.data()};
    entt::snapshot_loader{*registry}.get<entt::entity>(in).get<Position>(in).get<Velocity>(in);
    benchmark::DoNotOptimize(registry->storage<Position>().size());
    state.PauseTiming();
    registry.reset();
    state.ResumeTiming();
  }
  setBatch(state, sizeArg(state));
}

// The same loads into memory used again (one Arena, released after each load, given to both):
// the library's work without the operating system's fresh pages.
constexpr std::size_t kLoadArenaBytes = std::size_t{400} << 20;
// An allocator over the arena for EnTT's containers (a plain one: EnTT builds its storage with
// the allocator's traits, which polymorphic_allocator's own construction does not suit).
template <class T>
struct ArenaAllocator {
  using value_type = T;
  std::pmr::memory_resource* resource;
  explicit ArenaAllocator(std::pmr::memory_resource* r) noexcept : resource(r) {}
  template <class U>
  ArenaAllocator(const ArenaAllocator<U>& other) noexcept : resource(other.resource) {}
  T* allocate(std::size_t n) {
    return static_cast<T*>(resource->allocate(n * sizeof(T), alignof(T)));
  }
  void deallocate(T* p, std::size_t n) noexcept {
    resource->deallocate(p, n * sizeof(T), alignof(T));
  }
  template <class U>
  bool operator==(const ArenaAllocator<U>& other) const noexcept {
    return resource == other.resource;
  }
};
using ArenaRegistry = entt::basic_registry<entt::entity, ArenaAllocator<entt::entity>>;

void loadReusedNemra(benchmark::State& state) {
  NemraScene& s = scene<NemraScene>(sizeArg(state));
  const std::pmr::vector<std::byte> bytes = nemraSave(s);
  auto arena = std::make_unique<Arena>(kLoadArenaBytes);
  for (auto _ : state) {
    {
      nemra_ecs::World world = nemra_ecs::World::init(&arena->resource);
      ComponentStore store = ComponentStore::init(&arena->resource);
      registerTypes(store);
      if (!nemra_ecs::loadSnapshot(bytes, world, store)) fail("loadSnapshot into the arena");
      benchmark::DoNotOptimize(store.entityCount());
    }
    arena->resource.release();
  }
  setBatch(state, sizeArg(state));
}
void loadReusedEntt(benchmark::State& state) {
  EnttScene& s = scene<EnttScene>(sizeArg(state));
  const std::vector<std::byte> bytes = enttSave(s.registry);
  auto arena = std::make_unique<Arena>(kLoadArenaBytes);
  for (auto _ : state) {
    {
      ArenaRegistry registry{ArenaAllocator<entt::entity>(&arena->resource)};
      ByteReader in{bytes.data()};
      entt::basic_snapshot_loader<ArenaRegistry>{registry}
          .get<entt::entity>(in)
          .get<Position>(in)
          .get<Velocity>(in);
      benchmark::DoNotOptimize(registry.storage<Position>().size());
    }
    arena->resource.release();
  }
  setBatch(state, sizeArg(state));
}

// --- create with two components, one call each after reserve; erase all ----------------------

void createNemra(benchmark::State& state) {
  const std::size_t n = sizeArg(state);
  for (auto _ : state) {
    ComponentStore store = ComponentStore::init(std::pmr::new_delete_resource());
    if (!store.registerType<Position>("position") || !store.registerType<Velocity>("velocity")) {
      fail("registerType");
    }
    if (!store.reserve<Position, Velocity>(n)) fail("reserve");
    for (std::size_t k = 0; k < n; ++k) {
      const double d = static_cast<double>(k);
      if (!store.set(EntityId::init(k + 1), Position{d, -d}, Velocity{0.5, d})) fail("set");
    }
    benchmark::DoNotOptimize(store.entityCount());
    state.PauseTiming();
    store.deinit();
    state.ResumeTiming();
  }
  setBatch(state, n);
}
void createEntt(benchmark::State& state) {
  const std::size_t n = sizeArg(state);
  for (auto _ : state) {
    entt::registry registry;
    registry.storage<entt::entity>().reserve(n);
    registry.storage<Position>().reserve(n);
    registry.storage<Velocity>().reserve(n);
    for (std::size_t k = 0; k < n; ++k) {
      const double d = static_cast<double>(k);
      const entt::entity e = registry.create();
      registry.emplace<Position>(e, d, -d);
      registry.emplace<Velocity>(e, 0.5, d);
    }
    benchmark::DoNotOptimize(registry.storage<Position>().size());
    state.PauseTiming();
    registry.clear();
    state.ResumeTiming();
  }
  setBatch(state, n);
}

void eraseNemra(benchmark::State& state) {
  const std::size_t n = sizeArg(state);
  const std::vector<std::uint32_t> order = randomPositions(n, n, 4);
  for (auto _ : state) {
    state.PauseTiming();
    auto s = std::make_unique<NemraScene>(n);
    state.ResumeTiming();
    for (std::uint32_t k : order) {
      if (!s->store.erase(EntityId::init(k + 1ULL))) fail("erase");
    }
    state.PauseTiming();
    s.reset();
    state.ResumeTiming();
  }
  setBatch(state, n);
}
void eraseEntt(benchmark::State& state) {
  const std::size_t n = sizeArg(state);
  const std::vector<std::uint32_t> order = randomPositions(n, n, 4);
  for (auto _ : state) {
    state.PauseTiming();
    auto s = std::make_unique<EnttScene>(n);
    state.ResumeTiming();
    for (std::uint32_t k : order) s->registry.destroy(s->entities[k]);
    state.PauseTiming();
    s.reset();
    state.ResumeTiming();
  }
  setBatch(state, n);
}

// --- World::createEntity against the registry's create, both after reserve ------------------

void worldCreateNemra(benchmark::State& state) {
  const std::size_t n = sizeArg(state);
  for (auto _ : state) {
    nemra_ecs::World world = nemra_ecs::World::init(std::pmr::new_delete_resource());
    if (!world.reserve(n)) fail("World::reserve");
    for (std::size_t k = 0; k < n; ++k) {
      if (!world.createEntity("entity")) fail("createEntity");
    }
    benchmark::DoNotOptimize(world.entities.data());
    state.PauseTiming();
    world.deinit();
    state.ResumeTiming();
  }
  setBatch(state, n);
}
void worldCreateEntt(benchmark::State& state) {
  const std::size_t n = sizeArg(state);
  for (auto _ : state) {
    entt::registry registry;
    registry.storage<entt::entity>().reserve(n);
    for (std::size_t k = 0; k < n; ++k) benchmark::DoNotOptimize(registry.create());
    state.PauseTiming();
    registry.clear();
    state.ResumeTiming();
  }
  setBatch(state, n);
}

[[maybe_unused]] const int kRegistered = [] {
  const struct {
    const char* name;
    void (*run)(benchmark::State&);
  } rows[] = {
      {"peer/get/nemraHandle", getNemraHandle},
      {"peer/get/nemra", getNemraTyped},
      {"peer/get/entt", getEntt},
      {"peer/toggleTag/nemra", toggleNemra},
      {"peer/toggleTag/entt", toggleEntt},
      {"peer/toggleTag/floor", toggleFloor},
      {"peer/iterate/nemra", iterateNemra<NemraScene>},
      {"peer/iterate/entt", iterateEntt<EnttScene>},
      {"peer/iterateHalfTagged/nemra", iterateNemra<NemraTagged>},
      {"peer/iterateHalfTagged/entt", iterateEntt<EnttTagged>},
      {"peer/iterateTagged/nemra", iterateTaggedNemra},
      {"peer/iterateTagged/entt", iterateTaggedEntt},
      {"peer/create/nemra", createNemra},
      {"peer/create/entt", createEntt},
      {"peer/save/nemra", saveNemra},
      {"peer/save/entt", saveEntt},
      {"peer/load/nemra", loadNemra},
      {"peer/load/entt", loadEntt},
      {"peer/loadReused/nemra", loadReusedNemra},
      {"peer/loadReused/entt", loadReusedEntt},
      {"peer/eraseAll/nemra", eraseNemra},
      {"peer/eraseAll/entt", eraseEntt},
      {"peer/worldCreate/nemra", worldCreateNemra},
      {"peer/worldCreate/entt", worldCreateEntt},
  };
  for (const auto& row : rows) {
    benchmark::RegisterBenchmark(row.name, row.run)
        ->Arg(10000)
        ->Arg(1000000)
        ->Unit(benchmark::kMicrosecond);
  }
  return 0;
}();

}  // namespace
}  // namespace nemra_bench
