#include <limits>
#include <memory>
#include <new>
#include <utility>

#include <nemra_ecs/archetype.hpp>
#include <nemra_ecs/owning.hpp>

namespace nemra_ecs {

Archetype::Archetype(std::pmr::memory_resource* allocator, ArchetypeId archetype_id)
    : component_hash(0),
      component_types(detail::resourceOrDefault(allocator)),
      id(archetype_id),
      entity_count(0),
      capacity(0) {}

Archetype Archetype::init(std::pmr::memory_resource* allocator, ArchetypeId id) noexcept {
  return Archetype(allocator, id);
}

Archetype& Archetype::operator=(Archetype&& other) noexcept {
  return detail::moveAssignByRebuild(*this, std::move(other));
}

void Archetype::deinit() noexcept { detail::releaseStorage(component_types); }

std::expected<void, Error> Archetype::addComponentType(ComponentTypeId type_id) {
  try {
    component_types.push_back(type_id);
  } catch (const std::bad_alloc&) {
    return std::unexpected(Error::OutOfMemory);
  }
  component_hash = (component_hash * COMPONENT_HASH_PRIME) ^ type_id.id;
  return {};
}

bool Archetype::hasComponent(ComponentTypeId type_id) const noexcept {
  for (ComponentTypeId t : component_types) {
    if (t.id == type_id.id) return true;
  }
  return false;
}

void Archetype::addEntity() noexcept {
  if (entity_count != std::numeric_limits<std::uint32_t>::max()) ++entity_count;
}

void Archetype::removeEntity() noexcept {
  if (entity_count > 0) --entity_count;
}

}  // namespace nemra_ecs
