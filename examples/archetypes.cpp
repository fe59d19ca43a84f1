// Archetypes group component types; queries select archetypes by the types they hold.
#include <array>
#include <cstdio>
#include <memory_resource>

#include <nemra_ecs/nemra_ecs.hpp>

int main() {
  using nemra_ecs::ComponentTypeId;

  const ComponentTypeId position = ComponentTypeId::fromId(1);
  const ComponentTypeId velocity = ComponentTypeId::fromId(2);
  const ComponentTypeId sleeping = ComponentTypeId::fromId(3);

  std::pmr::monotonic_buffer_resource arena;
  nemra_ecs::ArchetypeRegistry registry = nemra_ecs::ArchetypeRegistry::init(&arena);

  // The registry copies the type list; the array may go away after the call.
  const std::array moving{position, velocity};
  const std::array parked{position, velocity, sleeping};
  const nemra_ecs::ArchetypeId movers = registry.createArchetype(moving).value();
  const nemra_ecs::ArchetypeId sleepers = registry.createArchetype(parked).value();
  registry.getArchetype(movers)->addEntity();
  registry.getArchetype(sleepers)->addEntity();
  registry.getArchetype(sleepers)->addEntity();

  // A filter borrows its lists: they must outlive every use of the filter.
  const std::array required{position, velocity};
  const std::array excluded{sleeping};
  const auto filter = nemra_ecs::QueryFilter::initWithExclusions(required, excluded);

  // The result is a snapshot on the allocator you give it; release it with deinit.
  nemra_ecs::QueryResult result = registry.query(&arena, filter).value();
  std::printf("%zu archetype(s), %u entities\n", result.matching_archetypes.size(),
              result.total_entities);

  const bool ok = result.matching_archetypes.size() == 1 &&
                  result.matching_archetypes[0] == movers && result.total_entities == 1;
  result.deinit();
  registry.deinit();
  return ok ? 0 : 1;
}
