// Queries over an archetype registry: QueryFilter names the component types an archetype must
// have and those it must not have; QueryResult is what ArchetypeRegistry::query returns.
#include <nemra/config.hpp>

#ifndef NEMRA_ECS_QUERY_HPP
#define NEMRA_ECS_QUERY_HPP

#include <cstdint>
#include <memory_resource>
#include <span>

#include <nemra_ecs/archetype.hpp>
#include <nemra_ecs/ids.hpp>

namespace nemra_ecs {

// Refers to the caller's sequences, which must outlive every use of the filter. Allocates
// nothing and needs no release.
struct NEMRA_API QueryFilter {
  // Every one of these must be in the archetype.
  std::span<const ComponentTypeId> required;
  // None of these may be in the archetype.
  std::span<const ComponentTypeId> excluded;
  // Carried along; matches does not consult it, and both constructors leave it empty.
  std::span<const ComponentTypeId> optional;

  static constexpr QueryFilter init(std::span<const ComponentTypeId> required_types) {
    return QueryFilter{required_types, {}, {}};
  }

  static constexpr QueryFilter initWithExclusions(std::span<const ComponentTypeId> required_types,
                                                  std::span<const ComponentTypeId> excluded_types) {
    return QueryFilter{required_types, excluded_types, {}};
  }

  // Whether the archetype has every required type and none of the excluded ones. With both lists
  // empty every archetype matches; a type both required and excluded matches nothing.
  bool matches(const Archetype& archetype) const;
};

// A snapshot of the archetypes a query selected: later changes to the registry do not change it.
// Owns the storage of its id list (from the allocator given to init). Move-only.
class NEMRA_API QueryResult {
 public:
  // Ids of the matching archetypes, in the registry's creation order.
  std::pmr::vector<ArchetypeId> matching_archetypes;
  // Sum of their entity counts; it stops at 4294967295 instead of wrapping.
  std::uint32_t total_entities;

  // An empty result on `allocator` (nullptr means std::pmr::get_default_resource()). Allocates
  // nothing and cannot fail.
  static QueryResult init(std::pmr::memory_resource* allocator);

  QueryResult(QueryResult&& other) noexcept = default;
  // Releases this result's storage and takes over other's, allocator included.
  QueryResult& operator=(QueryResult&& other) noexcept;
  QueryResult(const QueryResult&) = delete;
  QueryResult& operator=(const QueryResult&) = delete;
  ~QueryResult() = default;

  // Releases the storage of the id list, which is then empty; total_entities is left as it is.
  void deinit();

 private:
  explicit QueryResult(std::pmr::memory_resource* allocator);
};

}  // namespace nemra_ecs

#endif
