// A world in motion: every entity moves each tick, a NearestIndex follows, and each unit asks for
// its nearest enemies with a filter that leaves out itself and its team-mates.
#include <cstdio>
#include <memory_resource>
#include <vector>

#include <nemra_ecs/nemra_ecs.hpp>
#include <nemra_kernel/nemra_kernel.hpp>

// A unit's enemies: the entities of the other team (here team = id mod 2).
struct Enemy {
  std::uint64_t team;
  bool operator()(nemra_ecs::EntityId id) const noexcept { return id.id % 2 != team; }
};

int main() {
  using nemra_ecs::EntityId;
  using nemra_kernel::HomVec4;

  std::pmr::unsynchronized_pool_resource pool;
  nemra_ecs::World world = nemra_ecs::World::init(&pool);
  std::vector<EntityId> ids;
  std::vector<HomVec4> velocity;
  for (int i = 0; i < 2000; ++i) {
    ids.push_back(world.createEntity("unit").value());
    world.entities.back().setPosition(HomVec4::fromCartesian(i % 40, i / 40, 0.5 * (i % 7)));
    velocity.push_back(HomVec4::init(0.01 * (i % 5), -0.02 * (i % 3), 0.01, 0.0));
  }
  auto built = nemra_ecs::NearestIndex::build(world, &pool);
  if (!built) return 1;
  nemra_ecs::NearestIndex index = std::move(*built);

  std::vector<HomVec4> next(ids.size());
  std::vector<HomVec4> stored(ids.size());
  const EntityId scout = ids[0];
  const auto scout_filter = nemra_ecs::excluding(scout, Enemy{scout.id % 2});
  std::pmr::vector<EntityId> last(&pool);
  for (std::size_t tick = 0; tick < 60; ++tick) {
    // Every entity one step on, in one call with setPosition's bits and version rule; `stored`
    // receives the positions the world now holds.
    for (std::size_t i = 0; i < ids.size(); ++i) {
      const HomVec4 p = world.entities[i].position;
      next[i] = HomVec4::init(p.x + velocity[i].x * p.w, p.y + velocity[i].y * p.w,
                              p.z + velocity[i].z * p.w, p.w);
    }
    world.setPositions(ids, next, stored);

    // The index follows the moves from the stored positions, without reading the world again.
    if (!index.update(ids, stored)) return 1;

    // The 8 nearest enemies of a unit, leaving out the unit itself.
    const EntityId unit = ids[tick];
    const HomVec4 at = world.getEntity(unit)->position;
    const auto filter = nemra_ecs::excluding(unit, Enemy{unit.id % 2});
    const auto enemies = index.kNearest(at, 8, &pool, filter);
    if (!enemies) return 1;

    // The same question to the world's scan gives the same answer, ties included.
    if (*enemies != *world.kNearest(at, 8, &pool, filter)) return 1;

    // A scout asks every tick, its search started from its answers of the last tick: still near
    // it, they let the search skip more of the tree from the start. The answers are the same.
    const HomVec4 scout_at = world.getEntity(scout)->position;
    auto seen = index.kNearest(scout_at, 8, last, &pool, scout_filter);
    if (!seen || *seen != *world.kNearest(scout_at, 8, &pool, scout_filter)) return 1;
    last = std::move(*seen);
  }

  // States change too: refit finds what moved, became active or stopped being active, in one pass
  // over the world.
  world.entities[7].deactivate();
  if (!index.refit(world)) return 1;
  if (index.contains(ids[7])) return 1;

  // One entity at a time: update holds an entity at a position (inserting it when absent), erase
  // lets it go.
  const EntityId late = world.createEntity("late").value();
  world.getEntity(late)->setPosition(HomVec4::fromCartesian(3.0, 3.0, 3.0));
  if (!index.update(late, world.getEntity(late)->position)) return 1;
  const auto nearest = index.nearest(HomVec4::fromCartesian(3.0, 3.0, 3.1));
  index.erase(late);
  std::printf("%zu entities indexed; nearest to (3, 3, 3.1): entity %llu\n", index.size(),
              static_cast<unsigned long long>(nearest->id));
  return nearest == late ? 0 : 1;
}
