#include <limits>
#include <memory>
#include <new>
#include <utility>

#include <nemra_ecs/archetype_registry.hpp>
#include <nemra_ecs/owning.hpp>

namespace nemra_ecs {

namespace {
constexpr std::uint32_t kU32Max = std::numeric_limits<std::uint32_t>::max();
}

ArchetypeRegistry::ArchetypeRegistry(std::pmr::memory_resource* allocator)
    : archetypes(detail::resourceOrDefault(allocator)), next_id(1) {}

ArchetypeRegistry ArchetypeRegistry::init(std::pmr::memory_resource* allocator) noexcept {
  return ArchetypeRegistry(allocator);
}

ArchetypeRegistry& ArchetypeRegistry::operator=(ArchetypeRegistry&& other) noexcept {
  return detail::moveAssignByRebuild(*this, std::move(other));
}

void ArchetypeRegistry::deinit() noexcept {
  for (Archetype& a : archetypes) a.deinit();
  detail::releaseStorage(archetypes);
}

std::expected<ArchetypeId, Error> ArchetypeRegistry::createArchetype(
    std::span<const ComponentTypeId> component_types) {
  if (next_id == 0 || next_id == kU32Max) return std::unexpected(Error::IdentifiersExhausted);
  ArchetypeId id = ArchetypeId::init(next_id);
  ++next_id;
  // Built on the registry's own allocator. On any failure below the local archetype releases its
  // list as it goes out of scope; it never reaches the registry.
  Archetype local = Archetype::init(archetypes.get_allocator().resource(), id);
  try {
    local.component_types.reserve(component_types.size());
  } catch (const std::bad_alloc&) {
    return std::unexpected(Error::OutOfMemory);
  }
  for (ComponentTypeId t : component_types) {
    if (auto added = local.addComponentType(t); !added) return std::unexpected(added.error());
  }
  try {
    // The move constructor cannot throw, so a failed append leaves both the array and `local`
    // as they were.
    archetypes.push_back(std::move(local));
  } catch (const std::bad_alloc&) {
    return std::unexpected(Error::OutOfMemory);
  }
  return id;
}

Archetype* ArchetypeRegistry::getArchetype(ArchetypeId id) noexcept {
  return const_cast<Archetype*>(std::as_const(*this).getArchetype(id));
}

const Archetype* ArchetypeRegistry::getArchetype(ArchetypeId id) const noexcept {
  for (const Archetype& a : archetypes) {
    if (a.id.id == id.id) return &a;
  }
  return nullptr;
}

std::uint32_t ArchetypeRegistry::count() const noexcept {
  std::size_t n = archetypes.size();
  return static_cast<std::uint32_t>(n < kU32Max ? n : kU32Max);
}

std::expected<QueryResult, Error> ArchetypeRegistry::query(std::pmr::memory_resource* allocator,
                                                           const QueryFilter& filter) const {
  QueryResult result = QueryResult::init(allocator);
  for (const Archetype& a : archetypes) {
    if (!filter.matches(a)) continue;
    try {
      result.matching_archetypes.push_back(a.id);
    } catch (const std::bad_alloc&) {
      // The partial list is released with `result`.
      return std::unexpected(Error::OutOfMemory);
    }
    std::uint32_t room = kU32Max - result.total_entities;
    result.total_entities += a.entity_count < room ? a.entity_count : room;
  }
  return result;
}

}  // namespace nemra_ecs
