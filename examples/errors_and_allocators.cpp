// Errors are results, storage comes from the allocator you choose, and references into a store are
// good only until it grows.
#include <cstdio>
#include <memory_resource>
#include <string>

#include <nemra_ecs/nemra_ecs.hpp>

int main() {
  using nemra_ecs::Error;
  using nemra_ecs::World;

  // A world on a resource that refuses every request: creation fails and says why, and the world
  // is left as it was (only the identifier is used up).
  World starved = World::init(std::pmr::null_memory_resource());
  const auto refused = starved.createEntity("never");
  if (!refused) {
    std::printf("createEntity failed: %.*s\n",
                static_cast<int>(nemra_ecs::errorName(refused.error()).size()),
                nemra_ecs::errorName(refused.error()).data());
  }
  const bool refused_ok = !refused && refused.error() == Error::OutOfMemory &&
                          starved.entities.empty() && starved.next_id == 2;

  // Names are borrowed: keep the bytes alive as long as the entity is used.
  std::pmr::unsynchronized_pool_resource pool;
  World world = World::init(&pool);
  const std::string name = "rover";
  const nemra_ecs::EntityId rover = world.createEntity(name).value();

  // A pointer from getEntity is good until the next createEntity: look it up again after one.
  nemra_ecs::Entity* entity = world.getEntity(rover);
  entity->deactivate();
  for (int i = 0; i < 100; ++i) {
    if (!world.createEntity("crowd")) return 1;
  }
  entity = world.getEntity(rover);  // the array may have moved
  const bool lookup_ok = entity != nullptr && entity->name == "rover" && !entity->isActive();

  // deinit returns the storage; the destructor would too.
  world.deinit();
  starved.deinit();
  return refused_ok && lookup_ok ? 0 : 1;
}
