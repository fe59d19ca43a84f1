// A rollback's state operations at 1e4 and 1e5 entities, each with two 32-byte components:
// rollback/save/N saves into a reused buffer (a slot of a ring of snapshots, a monotonic arena
// reset after each save); rollback/restore/N restores in place, alternating between two saved
// ticks so that every call replaces a different state; rollback/loadFresh/N loads into a new
// world and store (types registered, the time of their destruction left out), the baseline a
// restore is compared with.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory_resource>
#include <vector>

#include <benchmark/benchmark.h>

#include <nemra_ecs/component_store.hpp>
#include <nemra_ecs/snapshot.hpp>
#include <nemra_ecs/world.hpp>

namespace {

using nemra_ecs::ComponentStore;
using nemra_ecs::EntityId;
using nemra_ecs::World;
using nemra_kernel::HomVec4;

struct Motion {
  double velocity[4];
};
struct Unit {
  double hp;
  double shield;
  double cooldown;
  std::uint64_t team;
};
static_assert(sizeof(Motion) == 32 && sizeof(Unit) == 32);

[[noreturn]] void fail(const char* what) {
  std::fprintf(stderr, "rollback_bench: %s\n", what);
  std::abort();
}

void registerTypes(ComponentStore& s) {
  if (!s.registerType<Motion>("motion") || !s.registerType<Unit>("unit")) fail("registerType");
}

// The state at tick t: every entity placed and given both components, values depending on t.
struct Ticks {
  std::vector<std::vector<std::byte>> saved;
  explicit Ticks(std::size_t n) {
    World w = World::init(nullptr);
    ComponentStore s = ComponentStore::init(nullptr);
    registerTypes(s);
    for (std::size_t i = 0; i < n; ++i) {
      const auto id = w.createEntity("unit");
      if (!id) fail("createEntity");
      const double k = static_cast<double>(i);
      if (!s.set(*id, Motion{{k, 1, 0, 0}}, Unit{100, 5, 0, i % 2})) fail("set");
    }
    for (int t = 0; t < 2; ++t) {
      for (std::size_t i = 0; i < n; ++i) {
        w.entities[i].setPosition(HomVec4::init(static_cast<double>(i) + t, 0.5, 0.25, 1.0));
        s.get<Unit>(w.entities[i].id)->cooldown = t;
      }
      const auto bytes = nemra_ecs::saveSnapshot(w, s, nullptr);
      if (!bytes) fail("saveSnapshot");
      saved.emplace_back(bytes->begin(), bytes->end());
    }
  }
};

Ticks& ticks(std::size_t n) {
  static Ticks small(10000), large(100000);
  return n == 10000 ? small : large;
}

void snapshotBytes(benchmark::State& state, std::size_t bytes) {
  state.SetBytesProcessed(static_cast<std::int64_t>(bytes) * state.iterations());
}

void save(benchmark::State& state) {
  const auto n = static_cast<std::size_t>(state.range(0));
  World w = World::init(nullptr);
  ComponentStore s = ComponentStore::init(nullptr);
  registerTypes(s);
  if (!nemra_ecs::loadSnapshot(ticks(n).saved[0], w, s)) fail("loadSnapshot");
  std::vector<std::byte> slot(ticks(n).saved[0].size() + 4096);
  std::pmr::monotonic_buffer_resource arena(slot.data(), slot.size(),
                                            std::pmr::null_memory_resource());
  for (auto _ : state) {
    {
      auto bytes = nemra_ecs::saveSnapshot(w, s, &arena);
      if (!bytes) fail("saveSnapshot into the slot");
      benchmark::DoNotOptimize(bytes->data());
    }
    arena.release();
  }
  snapshotBytes(state, ticks(n).saved[0].size());
}

void restore(benchmark::State& state) {
  const auto n = static_cast<std::size_t>(state.range(0));
  World w = World::init(nullptr);
  ComponentStore s = ComponentStore::init(nullptr);
  registerTypes(s);
  std::size_t t = 0;
  for (auto _ : state) {
    if (!nemra_ecs::restoreSnapshot(ticks(n).saved[t], w, s)) fail("restoreSnapshot");
    t ^= 1;
  }
  snapshotBytes(state, ticks(n).saved[0].size());
}

void loadFresh(benchmark::State& state) {
  const auto n = static_cast<std::size_t>(state.range(0));
  for (auto _ : state) {
    World w = World::init(nullptr);
    ComponentStore s = ComponentStore::init(nullptr);
    registerTypes(s);
    if (!nemra_ecs::loadSnapshot(ticks(n).saved[0], w, s)) fail("loadSnapshot");
    state.PauseTiming();
    s.deinit();
    w.deinit();
    state.ResumeTiming();
  }
  snapshotBytes(state, ticks(n).saved[0].size());
}

[[maybe_unused]] const int kRegistered = [] {
  for (auto* b : {benchmark::RegisterBenchmark("rollback/save", save),
                  benchmark::RegisterBenchmark("rollback/restore", restore),
                  benchmark::RegisterBenchmark("rollback/loadFresh", loadFresh)}) {
    b->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond);
  }
  return 0;
}();

}  // namespace
