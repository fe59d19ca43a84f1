// Lockstep: two peers run the same inputs and compare state digests after every step; at the
// first difference they stop, find the first diverging entity by comparing their snapshots, and
// one peer takes the other's snapshot to get back in step.
#include <cstdint>
#include <cstdio>
#include <span>
#include <string_view>
#include <vector>

#include <nemra_ecs/nemra_ecs.hpp>
#include <nemra_kernel/nemra_kernel.hpp>

struct Velocity {
  double dx, dy, dz;
};
struct Health {
  std::int32_t hp;
};

struct Peer {
  nemra_ecs::World world = nemra_ecs::World::init(nullptr);
  nemra_ecs::ComponentStore store = nemra_ecs::ComponentStore::init(nullptr);
  std::vector<std::byte> snapshot;  // the last snapshot taken from the other peer
};

const char* const kNames[] = {"scout", "tank", "drone", "medic"};

bool registerTypes(nemra_ecs::ComponentStore& store) {
  return store.registerType<Velocity>("velocity") && store.registerType<Health>("health");
}

bool setUp(Peer& p) {
  if (!registerTypes(p.store)) return false;
  for (int i = 0; i < 4; ++i) {
    const nemra_ecs::EntityId id = p.world.createEntity(kNames[i]).value();
    if (!p.store.set(id, Velocity{0.25 * i, 1.0 / (i + 1), -0.5}) ||
        !p.store.set(id, Health{100})) {
      return false;
    }
  }
  return true;
}

// One step of the simulation for one input (here: which entity takes a hit).
void step(Peer& p, std::uint32_t input) {
  p.store.each<Velocity>([&](nemra_ecs::EntityId id, Velocity& v) {
    nemra_ecs::Entity* e = p.world.getEntity(id);
    const auto [x, y, z] = e->position.cartesian3();
    e->setPosition(nemra_kernel::HomVec4::fromCartesian(x + v.dx, y + v.dy, z + v.dz));
  });
  p.store.each<Health>([&](nemra_ecs::EntityId id, Health& h) {
    if (id.id % 4 == input % 4) h.hp -= 7;
  });
}

int main() {
  Peer a, b;
  if (!setUp(a) || !setUp(b)) return 1;

  int diverged_at = -1;
  for (int t = 0; t < 20; ++t) {
    const auto input = static_cast<std::uint32_t>(t * 7 + 3);
    step(a, input);
    step(b, input);
    if (t == 12) b.store.get<Velocity>(nemra_ecs::EntityId::init(2))->dx += 1e-12;  // a desync
    // Peers exchange 8 bytes a step and stop at the first difference.
    if (nemra_ecs::stateDigest(a.world, a.store) != nemra_ecs::stateDigest(b.world, b.store)) {
      diverged_at = t;
      break;
    }
  }
  std::printf("diverged at step %d\n", diverged_at);

  // Where: both snapshots (from one machine or two) compared field by field.
  auto mine = nemra_ecs::saveSnapshot(a.world, a.store, nullptr);
  auto theirs = nemra_ecs::saveSnapshot(b.world, b.store, nullptr);
  if (!mine || !theirs) return 1;
  const auto where = nemra_ecs::diffSnapshots(*mine, *theirs, nullptr);
  if (!where || where->identical()) return 1;
  if (where->field == "component") {
    const std::string_view type = a.store.types()[where->type.id - 1].name;
    std::printf("first difference: entity %llu, component %.*s, byte %llu\n",
                static_cast<unsigned long long>(where->entity.id), static_cast<int>(type.size()),
                type.data(), static_cast<unsigned long long>(where->offset));
  }

  // Resynchronise: b starts over from a's snapshot (the world copies the entity names).
  auto bytes = nemra_ecs::saveSnapshot(a.world, a.store, nullptr);
  if (!bytes) return 1;
  b.snapshot.assign(bytes->begin(), bytes->end());
  b.world = nemra_ecs::World::init(nullptr);
  b.store = nemra_ecs::ComponentStore::init(nullptr);
  if (!registerTypes(b.store)) return 1;
  if (auto loaded = nemra_ecs::loadSnapshot(b.snapshot, b.world, b.store); !loaded) {
    std::printf("load failed: %s\n", nemra_ecs::snapshotErrorName(loaded.error()).data());
    return 1;
  }
  bool in_step = true;
  for (int t = 13; t < 20; ++t) {
    step(a, static_cast<std::uint32_t>(t));
    step(b, static_cast<std::uint32_t>(t));
    in_step = in_step &&
              nemra_ecs::stateDigest(a.world, a.store) == nemra_ecs::stateDigest(b.world, b.store);
  }
  std::printf("in step after the resync: %d\n", in_step ? 1 : 0);
  return diverged_at == 12 && in_step && where->entity.id == 2 && where->field == "component" ? 0
                                                                                              : 1;
}
