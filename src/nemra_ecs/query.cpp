#include <memory>
#include <nemra_ecs/query.hpp>
#include <utility>

namespace nemra_ecs {

bool QueryFilter::matches(const Archetype& archetype) const {
  for (ComponentTypeId t : required) {
    if (!archetype.hasComponent(t)) return false;
  }
  for (ComponentTypeId t : excluded) {
    if (archetype.hasComponent(t)) return false;
  }
  return true;
}

QueryResult::QueryResult(std::pmr::memory_resource* allocator)
    : matching_archetypes(allocator != nullptr ? allocator : std::pmr::get_default_resource()),
      total_entities(0) {}

QueryResult QueryResult::init(std::pmr::memory_resource* allocator) {
  return QueryResult(allocator);
}

QueryResult& QueryResult::operator=(QueryResult&& other) noexcept {
  // See World::operator=: rebuilding in place moves the storage without copying or allocating.
  if (this != &other) {
    std::destroy_at(this);
    std::construct_at(this, std::move(other));
  }
  return *this;
}

void QueryResult::deinit() {
  std::pmr::vector<ArchetypeId> released(matching_archetypes.get_allocator());
  matching_archetypes.swap(released);
}

}  // namespace nemra_ecs
