// Rollback: a simulation saves its state every tick into a ring of snapshots. When an input for
// an earlier tick arrives late, it restores that tick's snapshot in place and simulates again up
// to the present with the corrected input; the result must be the state of a simulation that had
// the right input from the start. Loaded components are checked by the program.
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory_resource>
#include <span>
#include <vector>

#include <nemra_ecs/nemra_ecs.hpp>
#include <nemra_kernel/nemra_kernel.hpp>

struct Velocity {
  double dx, dy, dz;
};
// Padding after `alive` is never saved or hashed; a bool byte other than 0 or 1 from a peer
// is refused by the check below.
struct Unit {
  double hp;
  bool alive;
};

struct Sim {
  nemra_ecs::World world = nemra_ecs::World::init(nullptr);
  nemra_ecs::ComponentStore store = nemra_ecs::ComponentStore::init(nullptr);
};

bool setUp(Sim& s) {
  // The Unit check sees the component's bytes: `alive` (at its offset) must be 0 or 1.
  const nemra_ecs::ComponentCheck unitCheck = [](std::span<const std::byte> c) noexcept {
    const auto alive = std::to_integer<unsigned>(c[offsetof(Unit, alive)]);
    return alive <= 1;
  };
  if (!s.store.registerType<Velocity>("velocity") ||
      !s.store.registerType<Unit>("unit", unitCheck)) {
    return false;
  }
  const char* const names[] = {"scout", "tank", "drone", "medic"};
  for (int i = 0; i < 4; ++i) {
    const nemra_ecs::EntityId id = s.world.createEntity(names[i]).value();
    if (!s.store.set(id, Velocity{0.25 * i, 1.0 / (i + 1), -0.5}, Unit{100.0, true})) {
      return false;
    }
  }
  return true;
}

// One tick for one input (which entity takes a hit).
void step(Sim& s, std::uint32_t input) {
  s.store.each<Velocity>([&](nemra_ecs::EntityId id, Velocity& v) {
    nemra_ecs::Entity* e = s.world.getEntity(id);
    const auto [x, y, z] = e->position.cartesian3();
    e->setPosition(nemra_kernel::HomVec4::fromCartesian(x + v.dx, y + v.dy, z + v.dz));
  });
  s.store.each<Unit>([&](nemra_ecs::EntityId id, Unit& u) {
    if (id.id % 4 == input % 4) u.hp -= 7.5;
    u.alive = u.hp > 0;
  });
}

int main() {
  constexpr std::size_t kTicks = 30, kLate = 6, kRing = 8;
  std::vector<std::uint32_t> inputs(kTicks);
  for (std::size_t t = 0; t < kTicks; ++t) inputs[t] = static_cast<std::uint32_t>(t * 7 % 5);

  // The reference: every input known in time.
  Sim truth;
  if (!setUp(truth)) return 1;
  for (std::size_t t = 0; t < kTicks; ++t) step(truth, inputs[t]);

  Sim sim;
  if (!setUp(sim)) return 1;
  // Save each tick into a ring of snapshots (the state before the tick's input is applied); the
  // ring's buffers are reused, and each save returns the state's digest too.
  std::array<std::pmr::vector<std::byte>, kRing> ring;
  std::vector<std::uint32_t> seen = inputs;
  seen[kTicks - kLate] = 0;  // this input is guessed wrong, and corrected kLate ticks later
  for (std::size_t t = 0; t < kTicks; ++t) {
    if (!nemra_ecs::saveSnapshotInto(sim.world, sim.store, ring[t % kRing])) return 1;
    step(sim, seen[t]);
  }

  // A late input for tick `late`: restore that tick in place, then simulate forward again.
  const std::size_t late = kTicks - kLate;
  seen[late] = inputs[late];
  if (auto restored = nemra_ecs::restoreSnapshot(ring[late % kRing], sim.world, sim.store);
      !restored) {
    std::printf("restore failed: %s\n", nemra_ecs::snapshotErrorName(restored.error()).data());
    return 1;
  }
  for (std::size_t t = late; t < kTicks; ++t) {
    // The restored names stay valid while the ring is overwritten: the world owns them.
    if (!nemra_ecs::saveSnapshotInto(sim.world, sim.store, ring[t % kRing])) return 1;
    step(sim, seen[t]);
  }

  const bool same = nemra_ecs::stateDigest(sim.world, sim.store) ==
                    nemra_ecs::stateDigest(truth.world, truth.store);
  std::printf("rolled back %zu ticks: %s; first entity is still \"%.*s\"\n", kLate,
              same ? "in step with the reference" : "DIVERGED",
              static_cast<int>(sim.world.entities[0].name.size()),
              sim.world.entities[0].name.data());

  // A peer's snapshot whose checksum is right but whose bool holds 2 is refused by the Unit
  // check, and the simulation is left exactly as it was.
  Sim peer;
  if (!setUp(peer)) return 1;
  auto* raw = reinterpret_cast<std::byte*>(peer.store.get<Unit>(peer.world.entities[1].id));
  raw[offsetof(Unit, alive)] = std::byte{2};
  const auto hostile = nemra_ecs::saveSnapshot(peer.world, peer.store, nullptr);
  if (!hostile) return 1;
  const std::uint64_t before = nemra_ecs::stateDigest(sim.world, sim.store);
  const auto refused = nemra_ecs::restoreSnapshot(*hostile, sim.world, sim.store);
  const bool kept = !refused && before == nemra_ecs::stateDigest(sim.world, sim.store);
  std::printf("a hostile snapshot: %s\n",
              refused ? "loaded" : nemra_ecs::snapshotErrorName(refused.error()).data());
  return same && kept ? 0 : 1;
}
