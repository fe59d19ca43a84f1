#include <limits>
#include <memory>
#include <nemra_ecs/archetype.hpp>
#include <new>
#include <utility>

namespace nemra_ecs {

Archetype::Archetype(std::pmr::memory_resource* allocator, ArchetypeId archetype_id)
    : component_hash(0),
      component_types(allocator != nullptr ? allocator : std::pmr::get_default_resource()),
      id(archetype_id),
      entity_count(0),
      capacity(0) {}

Archetype Archetype::init(std::pmr::memory_resource* allocator, ArchetypeId id) {
  return Archetype(allocator, id);
}

Archetype& Archetype::operator=(Archetype&& other) noexcept {
  // See World::operator=: rebuilding in place moves the storage without copying or allocating.
  if (this != &other) {
    std::destroy_at(this);
    std::construct_at(this, std::move(other));
  }
  return *this;
}

void Archetype::deinit() {
  std::pmr::vector<ComponentTypeId> released(component_types.get_allocator());
  component_types.swap(released);
}

std::expected<void, Error> Archetype::addComponentType(ComponentTypeId type_id) {
  try {
    component_types.push_back(type_id);
  } catch (const std::bad_alloc&) {
    return std::unexpected(Error::OutOfMemory);
  }
  component_hash = (component_hash * COMPONENT_HASH_PRIME) ^ type_id.id;
  return {};
}

bool Archetype::hasComponent(ComponentTypeId type_id) const {
  for (ComponentTypeId t : component_types) {
    if (t.id == type_id.id) return true;
  }
  return false;
}

void Archetype::addEntity() {
  if (entity_count != std::numeric_limits<std::uint32_t>::max()) ++entity_count;
}

void Archetype::removeEntity() {
  if (entity_count > 0) --entity_count;
}

}  // namespace nemra_ecs
