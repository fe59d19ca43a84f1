// Helpers shared by the objects that own storage (World, Archetype, ArchetypeRegistry,
// QueryResult): the allocator they bind, releasing their storage, and move assignment.
#ifndef NEMRA_ECS_OWNING_HPP
#define NEMRA_ECS_OWNING_HPP

#include <memory>
#include <memory_resource>
#include <utility>
#include <vector>

namespace nemra_ecs::detail {

// The resource an owning object binds: the given one, or the default resource for nullptr.
inline std::pmr::memory_resource* resourceOrDefault(std::pmr::memory_resource* resource) noexcept {
  return resource != nullptr ? resource : std::pmr::get_default_resource();
}

// Returns a vector's storage to its resource; the vector stays bound to the same resource.
template <class T>
void releaseStorage(std::pmr::vector<T>& v) noexcept {
  std::pmr::vector<T> released(v.get_allocator());
  v.swap(released);
}

// Move assignment by destroying `self` and move-constructing it from `other`. A pmr vector's
// allocator does not follow a move assignment, which could then have to copy (and allocate);
// rebuilding in place takes over other's storage and resource with neither.
template <class T>
T& moveAssignByRebuild(T& self, T&& other) noexcept {
  if (&self != &other) {
    std::destroy_at(&self);
    std::construct_at(&self, std::move(other));
  }
  return self;
}

}  // namespace nemra_ecs::detail

#endif
