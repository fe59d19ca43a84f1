// Components that carry data: a store of typed rows beside a world, iterated in a fixed order.
#include <cstdint>
#include <cstdio>
#include <memory_resource>

#include <nemra_ecs/nemra_ecs.hpp>
#include <nemra_kernel/nemra_kernel.hpp>

struct Velocity {
  double dx, dy, dz;
};
struct Health {
  int hp;
};
struct Frozen {
  bool yes;
};

int main() {
  using nemra_ecs::EntityId;
  using nemra_kernel::HomVec4;

  std::pmr::monotonic_buffer_resource arena;
  nemra_ecs::World world = nemra_ecs::World::init(&arena);
  nemra_ecs::ComponentStore store = nemra_ecs::ComponentStore::init(&arena);

  // Types are registered once, with a name that snapshots use to match stores.
  if (!store.registerType<Velocity>("velocity") || !store.registerType<Health>("health") ||
      !store.registerType<Frozen>("frozen")) {
    return 1;
  }

  const EntityId ship = world.createEntity("ship").value();
  const EntityId rock = world.createEntity("rock").value();
  // set adds a component or overwrites it; the entity's row moves to the table of its types.
  if (!store.set(ship, Velocity{1.0, 0.0, 0.0}) || !store.set(ship, Health{100}) ||
      !store.set(rock, Velocity{0.0, 0.5, 0.0}) || !store.set(rock, Frozen{true})) {
    return 1;
  }

  // Every entity with a velocity and no Frozen: tables in creation order, rows in entry order.
  store.each<Velocity>(nemra_ecs::Exclude<Frozen>{}, [&](EntityId id, Velocity& v) {
    nemra_ecs::Entity* e = world.getEntity(id);
    const auto [x, y, z] = e->position.cartesian3();
    e->setPosition(HomVec4::fromCartesian(x + v.dx, y + v.dy, z + v.dz));
  });

  // get gives a pointer, or nullptr when the entity lacks the component.
  Health* health = store.get<Health>(ship);
  const bool rock_has_health = store.has<Health>(rock);
  std::printf("ship hp %d, rock has health: %d\n", health->hp, rock_has_health ? 1 : 0);

  // The store only holds data: an entity destroyed in the world keeps its rows until erase.
  world.getEntity(rock)->state = nemra_ecs::EntityState::destroyed;
  if (!store.erase(rock)) return 1;

  // Room for 1,000 entities with a velocity and health, then one move each.
  if (!store.reserve<Velocity, Health>(1000)) return 1;
  for (std::uint64_t k = 100; k < 1100; ++k) {
    if (!store.set(EntityId::init(k), Velocity{0.0, 0.0, 1.0}, Health{50})) return 1;
  }
  // A handle taken once, used in the loop: no type lookup per call.
  const auto hp = store.handle<Health>();
  if (!hp) return 1;
  for (std::uint64_t k = 100; k < 1100; ++k) {
    if (Health* h = store.get(EntityId::init(k), *hp)) h->hp -= 10;
  }

  const bool ok = world.getEntity(ship)->position.cartesian3()[0] == 1.0 &&
                  world.getEntity(rock)->position.cartesian3()[1] == 0.0 && !rock_has_health &&
                  store.get<Velocity>(rock) == nullptr && store.entityCount() == 1001 &&
                  store.get<Health>(EntityId::init(1099))->hp == 40;
  store.deinit();
  world.deinit();
  return ok ? 0 : 1;
}
