// What rollback and the network cost a lockstep program, at 1e4 entities, each with a position in
// the world and a 32-byte velocity in the store; a frame moves every entity (setPositions) by its
// velocity, which its player's input steers, and saves the state (WorldStates: a snapshot and its
// digest).
//
// lockstep/frame/N       one frame: the tick and the save (the baseline);
// lockstep/rollback8/N   what a rollback of 8 frames adds to a frame: the load of the state of 8
//                        frames back and 8 frames simulated and saved again;
// lockstep/motionFrame/N and motionRollback8/N
//                        the same with the tick of a world in motion (bench/tick_bench.cpp): every
//                        entity moves by its velocity (nudged by its player's input), a
//                        NearestIndex follows, and 1,000 units ask for their 8 nearest enemies
//                        (each search started from the asker's answers of the frame before); a
//                        load refits the index to the state loaded. Both start after 300 frames, so
//                        the index is in its steady state;
// lockstep/network       three players over an in-process network losing 10 % of the datagrams
//                        and delaying them 0-60 ms, 600 frames: the counter bytes_per_frame is the
//                        bytes each peer sends a frame;
// lockstep/lateJoin/N    a spectator joining such a session late, from the host's state sent over
//                        that network: late_join_ms is the network's (simulated) time from its
//                        first request to its first frame whose digest is the host's; the
//                        benchmark's time is the processor's for the whole run.
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <memory_resource>
#include <nemra_lockstep/in_process_network.hpp>
#include <nemra_lockstep/session.hpp>
#include <nemra_lockstep/watch_session.hpp>
#include <nemra_lockstep/world_states.hpp>
#include <random>
#include <span>
#include <vector>

#include <benchmark/benchmark.h>

#include <nemra_ecs/component_store.hpp>
#include <nemra_ecs/nearest_index.hpp>
#include <nemra_ecs/nearest_search.hpp>
#include <nemra_ecs/world.hpp>
#include <nemra_kernel/hom_vec4.hpp>

#include "enemy_askers.hpp"

namespace nemra_bench {
namespace {

using namespace nemra_lockstep;
using nemra_ecs::ComponentStore;
using nemra_ecs::EntityId;
using nemra_ecs::World;
using nemra_kernel::HomVec4;

[[noreturn]] void fail(const char* message) {
  std::fprintf(stderr, "nemra-bench: %s\n", message);
  std::abort();
}

struct Velocity {
  double x, y, z, pad;
};

bool registerTypes(ComponentStore& store) {
  return store.registerType<Velocity>("velocity").has_value();
}

// The states a game keeps.
constexpr std::uint32_t kSlots = 40;

struct BenchGame final : WorldGame {
  BenchGame() : WorldGame(WorldStates::init(kSlots, registerTypes, nullptr).value()) {}
  std::vector<EntityId> ids;
  std::vector<HomVec4> positions;

  void populate(std::size_t n) {
    if (!registerTypes(store)) fail("register");
    std::mt19937_64 rng(7);
    for (std::size_t i = 0; i < n; ++i) {
      const double x = static_cast<double>(rng() % 2000) - 1000.0;
      const auto id = world.createEntity("unit").value();
      world.getEntity(id)->setPosition(HomVec4::init(x, -x, 0.5 * x, 1));
      if (!store.set(id, Velocity{0, 0, 0, 0})) fail("set");
    }
  }
  void advanceFrame(Frame, std::span<const PlayerInput> inputs) override {
    ids.clear();
    positions.clear();
    store.each<Velocity>([&](EntityId id, Velocity& v) {
      const int in = std::to_integer<int>(inputs[id.id % inputs.size()].bytes[0]);
      v.x += (in % 16 - 7.5) * 1e-3;
      v.y += (in / 16 - 7.5) * 1e-3;
      const HomVec4 p = world.getEntity(id)->position;
      ids.push_back(id);
      positions.push_back(HomVec4::init(p.x + v.x * 1e-3, p.y + v.y * 1e-3, p.z, p.w));
    });
    if (world.setPositions(ids, positions) != ids.size()) fail("setPositions");
  }
};

// Frames [from, to) of a game with three players' fixed inputs, each saved.
template <class AnyGame>
void frames(AnyGame& g, Frame from, Frame to) {
  const std::array<std::byte, 3> bytes{std::byte{3}, std::byte{200}, std::byte{77}};
  const std::array<PlayerInput, 3> inputs{PlayerInput{std::span(&bytes[0], 1)},
                                          PlayerInput{std::span(&bytes[1], 1)},
                                          PlayerInput{std::span(&bytes[2], 1)}};
  for (Frame f = from; f < to; ++f) {
    g.advanceFrame(f, inputs);
    if (!g.saveState(f + 1)) fail("save");
  }
}

void BM_Frame(benchmark::State& state) {
  BenchGame g;
  g.populate(static_cast<std::size_t>(state.range(0)));
  if (!g.saveState(0)) fail("save");
  // Every slot of the ring saved twice first: a long session's frames save into buffers sized
  // already, and its first 80 frames are not what a frame costs.
  Frame f = 2 * kSlots;
  frames(g, 0, f);
  for (auto _ : state) {
    frames(g, f, f + 1);
    ++f;
  }
}
BENCHMARK(BM_Frame)->Name("lockstep/frame")->Arg(10000)->Unit(benchmark::kMillisecond);

void BM_Rollback8(benchmark::State& state) {
  BenchGame g;
  g.populate(static_cast<std::size_t>(state.range(0)));
  if (!g.saveState(0)) fail("save");
  frames(g, 0, 8);
  for (auto _ : state) {
    if (!g.loadState(0)) fail("load");
    frames(g, 0, 8);
  }
}
BENCHMARK(BM_Rollback8)->Name("lockstep/rollback8")->Arg(10000)->Unit(benchmark::kMillisecond);

struct MotionGame final : WorldGame {
  MotionGame() : WorldGame(WorldStates::init(kSlots, registerTypes, nullptr).value()) {}
  nemra_ecs::NearestIndex index = nemra_ecs::NearestIndex::init(nullptr);
  std::vector<EntityId> ids;
  // After a load the askers' last answers are those of another timeline, which only makes them
  // poorer seeds.
  EnemyAskers askers;
  std::vector<HomVec4> next, stored;
  std::pmr::monotonic_buffer_resource scratch{1 << 16};
  std::size_t found = 0;

  void populate(std::size_t n) {
    if (!registerTypes(store)) fail("register");
    std::mt19937_64 rng(n);
    std::uniform_real_distribution<double> side(-1000.0, 1000.0);
    std::normal_distribution<double> speed(0.0, 1.0);
    for (std::size_t i = 0; i < n; ++i) {
      const auto id = world.createEntity("unit").value();
      world.getEntity(id)->setPosition(HomVec4::init(side(rng), side(rng), side(rng), 1));
      if (!store.set(id, Velocity{speed(rng), speed(rng), speed(rng), 0})) fail("set");
    }
    for (std::size_t a = 0; a < 1000 && a < n; ++a) askers.add(EntityId::init(a * (n / 1000) + 1));
    auto built = nemra_ecs::NearestIndex::build(world, nullptr);
    if (!built) fail("build");
    index = std::move(*built);
  }
  void advanceFrame(Frame, std::span<const PlayerInput> inputs) override {
    ids.clear();
    next.clear();
    // The input nudges this frame's step and is not kept in the velocity: inputs held for many
    // frames would otherwise speed every unit up frame after frame (to some 20 units a frame by
    // frame 300, twenty times the tick's motion, and the upkeep of an index worn by that would be
    // measured instead of the tick's).
    store.each<Velocity>([&](EntityId id, const Velocity& v) {
      const int in = std::to_integer<int>(inputs[id.id % inputs.size()].bytes[0]);
      const double dx = v.x + (in % 16 - 7.5) * 1e-2;
      const double dy = v.y + (in / 16 - 7.5) * 1e-2;
      const HomVec4 p = world.entities[id.id - 1].position;
      ids.push_back(id);
      next.push_back(HomVec4::init(p.x + dx * p.w, p.y + dy * p.w, p.z + v.z * p.w, p.w));
    });
    stored.resize(ids.size());
    if (world.setPositions(ids, next, stored) != ids.size()) fail("setPositions");
    if (!index.update(ids, stored)) fail("update");
    found += askers.ask(index, world, &scratch);
    scratch.release();
  }
  std::expected<void, LockstepError> loadState(Frame frame) override {
    auto loaded = WorldGame::loadState(frame);
    if (loaded && !index.refit(world)) fail("refit");
    return loaded;
  }
};

constexpr Frame kMotionWarmUp = 300;

void BM_MotionFrame(benchmark::State& state) {
  MotionGame g;
  g.populate(static_cast<std::size_t>(state.range(0)));
  if (!g.saveState(0)) fail("save");
  frames(g, 0, kMotionWarmUp);
  Frame f = kMotionWarmUp;
  for (auto _ : state) {
    frames(g, f, f + 1);
    ++f;
  }
}
BENCHMARK(BM_MotionFrame)->Name("lockstep/motionFrame")->Arg(10000)->Unit(benchmark::kMillisecond);

void BM_MotionRollback8(benchmark::State& state) {
  MotionGame g;
  g.populate(static_cast<std::size_t>(state.range(0)));
  if (!g.saveState(0)) fail("save");
  frames(g, 0, kMotionWarmUp);
  for (auto _ : state) {
    if (!g.loadState(kMotionWarmUp - 8)) fail("load");
    frames(g, kMotionWarmUp - 8, kMotionWarmUp);
  }
}
BENCHMARK(BM_MotionRollback8)
    ->Name("lockstep/motionRollback8")
    ->Arg(10000)
    ->Unit(benchmark::kMillisecond);

const NetworkFaults kLossy{.loss_per_mille = 100,
                           .duplicate_per_mille = 50,
                           .min_delay_us = 0,
                           .max_delay_us = 60000,
                           .seed = 2026};
constexpr std::uint64_t kFrameUs = 16667;

// Three players (and, with `join_at`, a late spectator served by player 0) for `frames` frames.
struct NetRun {
  std::uint64_t bytes = 0;
  double join_ms = 0;
};

NetRun runNetwork(std::size_t bodies, Frame frames_to_run, Frame join_at) {
  InProcessNetwork net = InProcessNetwork::init(4, kLossy, nullptr);
  std::vector<InProcessNetwork::Endpoint> endpoints;
  for (std::uint32_t i = 0; i < 4; ++i) endpoints.push_back(net.endpoint(i));
  const std::array<PeerAddress, 3> addresses{endpoints[0].address(), endpoints[1].address(),
                                             endpoints[2].address()};
  std::vector<P2PSession> sessions;
  std::vector<std::unique_ptr<BenchGame>> games;
  for (std::size_t p = 0; p < 3; ++p) {
    SessionConfig config{
        .session_id = 1, .players = 3, .local_player = static_cast<PlayerHandle>(p)};
    sessions.push_back(P2PSession::init(config, addresses, endpoints[p], net, nullptr).value());
    games.push_back(std::make_unique<BenchGame>());
    games.back()->populate(bodies);
  }
  std::optional<SpectatorSession> spectator;
  BenchGame watcher;
  if (!registerTypes(watcher.store)) fail("register");
  std::uint64_t asked_at = 0;
  NetRun run;
  std::mt19937_64 rng(5);
  for (int tick = 0; tick < 100000; ++tick) {
    for (std::size_t p = 0; p < 3; ++p) {
      const std::byte in{static_cast<std::uint8_t>(rng())};
      if (!sessions[p].advanceFrame(std::span(&in, 1), *games[p])) fail("advance");
    }
    const Frame confirmed = sessions[0].confirmedFrame();
    if (join_at != NO_FRAME && !spectator && confirmed != NO_FRAME && confirmed >= join_at) {
      if (!sessions[0].addSpectator(endpoints[3].address())) fail("addSpectator");
      const SpectatorConfig config{.session_id = 1, .players = 3, .join_late = true};
      spectator.emplace(
          SpectatorSession::init(config, addresses[0], endpoints[3], net, nullptr).value());
      asked_at = net.nowMicros();
    }
    if (spectator) {
      for (int n = 0; n < 8; ++n) {
        const auto status = spectator->advanceFrame(watcher);
        if (!status) fail("spectator");
        if (*status != AdvanceStatus::Advanced) break;
        const Frame f = spectator->currentFrame();
        const auto host = sessions[0].confirmedDigest(f);
        if (host && host == spectator->digest(f)) {
          run.join_ms = static_cast<double>(net.nowMicros() - asked_at) / 1000.0;
          return run;
        }
      }
    } else if (join_at == NO_FRAME && confirmed != NO_FRAME && confirmed >= frames_to_run) {
      for (std::size_t p = 0; p < 3; ++p) {
        for (std::size_t q = 0; q < 3; ++q)
          run.bytes += sessions[p].stats(static_cast<PlayerHandle>(q)).bytes_sent;
      }
      return run;
    }
    net.advanceTime(kFrameUs);
  }
  fail("the network run did not finish");
}

void BM_Network(benchmark::State& state) {
  constexpr Frame kFrames = 600;
  NetRun run;
  for (auto _ : state) run = runNetwork(100, kFrames, NO_FRAME);
  state.counters["bytes_per_frame"] = static_cast<double>(run.bytes) / 3.0 / kFrames;
}
BENCHMARK(BM_Network)->Name("lockstep/network")->Unit(benchmark::kMillisecond)->Iterations(1);

void BM_LateJoin(benchmark::State& state) {
  NetRun run;
  for (auto _ : state) run = runNetwork(static_cast<std::size_t>(state.range(0)), NO_FRAME, 60);
  state.counters["late_join_ms"] = run.join_ms;
}
BENCHMARK(BM_LateJoin)
    ->Name("lockstep/lateJoin")
    ->Arg(10000)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(1);

}  // namespace
}  // namespace nemra_bench
