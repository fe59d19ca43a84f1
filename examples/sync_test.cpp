// A synchronisation test: SyncTestSession simulates every frame, loads the state of a few frames
// back, simulates those frames again with the same inputs and compares the digests. A game that
// is deterministic passes; one whose system reads the clock is caught at its first frame.
#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <nemra_lockstep/sync_test_session.hpp>
#include <nemra_lockstep/world_states.hpp>
#include <optional>
#include <span>
#include <string_view>

#include <nemra_ecs/component_store.hpp>
#include <nemra_ecs/world.hpp>

namespace {

using nemra_ecs::EntityId;

struct Velocity {
  double dx, dy;
};

bool registerTypes(nemra_ecs::ComponentStore& store) {
  return store.registerType<Velocity>("velocity").has_value();
}

// Units steered by the one player's input; with `reads_clock`, a system also adds the time it
// took since the game began to one unit's velocity, a value no saved state holds.
struct SteeringGame final : nemra_lockstep::WorldGame {
  bool reads_clock = false;
  std::chrono::steady_clock::time_point began = std::chrono::steady_clock::now();

  SteeringGame()
      : WorldGame(nemra_lockstep::WorldStates::init(8, registerTypes, nullptr).value()) {}

  bool setUp() {
    if (!registerTypes(store)) return false;
    for (int i = 0; i < 16; ++i) {
      const auto id = world.createEntity("unit");
      if (!id || !store.set(*id, Velocity{0.5 * i, -0.25})) return false;
    }
    return true;
  }

  void advanceFrame(nemra_lockstep::Frame,
                    std::span<const nemra_lockstep::PlayerInput> inputs) override {
    const double steer = std::to_integer<int>(inputs[0].bytes[0]) * 0.125;
    store.each<Velocity>([&](EntityId id, Velocity& v) {
      v.dx += steer;
      if (reads_clock && id.id == 5) {
        const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - began;
        v.dy += elapsed.count();
      }
    });
  }
};

// Runs `frames` frames of the synchronisation test; the first failure, if any.
std::optional<nemra_lockstep::SyncTestFailure> check(SteeringGame& game, int frames) {
  auto session = nemra_lockstep::SyncTestSession::init({.check_distance = 4}, nullptr).value();
  for (int f = 0; f < frames; ++f) {
    const std::array<std::byte, 1> input{std::byte(static_cast<std::uint8_t>(f * 29 + 3))};
    auto result = session.advanceFrame(input, game);
    if (!result) return std::nullopt;
    if (*result) return *result;
  }
  return std::nullopt;
}

}  // namespace

int main() {
  SteeringGame honest;
  if (!honest.setUp() || check(honest, 60)) return 1;
  std::printf("a deterministic game: 60 frames, no difference\n");

  SteeringGame clocked;
  clocked.reads_clock = true;
  if (!clocked.setUp()) return 1;
  const auto failure = check(clocked, 60);
  if (!failure || !failure->difference) return 1;
  const nemra_ecs::SnapshotDifference& where = *failure->difference;
  if (where.field != "component") return 1;
  const std::string_view type = clocked.store.types()[where.type.id - 1].name;
  std::printf(
      "a game that reads the clock: frame %u differs, entity %llu, component %.*s, byte %llu\n",
      failure->frame, static_cast<unsigned long long>(where.entity.id),
      static_cast<int>(type.size()), type.data(), static_cast<unsigned long long>(where.offset));
  return where.entity.id == 5 ? 0 : 1;
}
