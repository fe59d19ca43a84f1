#include <memory>
#include <utility>

#include <nemra_ecs/owning.hpp>
#include <nemra_ecs/query.hpp>

namespace nemra_ecs {

bool QueryFilter::matches(const Archetype& archetype) const noexcept {
  for (ComponentTypeId t : required) {
    if (!archetype.hasComponent(t)) return false;
  }
  for (ComponentTypeId t : excluded) {
    if (archetype.hasComponent(t)) return false;
  }
  return true;
}

QueryResult::QueryResult(std::pmr::memory_resource* allocator)
    : matching_archetypes(detail::resourceOrDefault(allocator)), total_entities(0) {}

QueryResult QueryResult::init(std::pmr::memory_resource* allocator) noexcept {
  return QueryResult(allocator);
}

QueryResult& QueryResult::operator=(QueryResult&& other) noexcept {
  return detail::moveAssignByRebuild(*this, std::move(other));
}

void QueryResult::deinit() noexcept { detail::releaseStorage(matching_archetypes); }

}  // namespace nemra_ecs
