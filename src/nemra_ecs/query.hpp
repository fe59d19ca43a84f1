// Queries over an archetype registry: QueryFilter names the component types an archetype must
// have and those it must not have; QueryResult is what ArchetypeRegistry::query returns.
#include <nemra/config.hpp>

#if NEMRA_CXX23 && !defined(NEMRA_ECS_QUERY_HPP)
#define NEMRA_ECS_QUERY_HPP

#include <cstdint>
#include <initializer_list>
#include <memory_resource>
#include <span>

#include <nemra_ecs/archetype.hpp>
#include <nemra_ecs/ids.hpp>

namespace nemra_ecs {

// Lets clang warn when a filter outlives the braced list it was made from.
#if defined(__clang__) && defined(__has_cpp_attribute)
#if __has_cpp_attribute(clang::lifetimebound)
#define NEMRA_ECS_LIFETIMEBOUND [[clang::lifetimebound]]
#endif
#endif
#ifndef NEMRA_ECS_LIFETIMEBOUND
#define NEMRA_ECS_LIFETIMEBOUND
#endif

// Refers to the caller's sequences and copies none of them: the sequences must outlive every use
// of the filter. Allocates nothing and needs no release.
//
// A braced list lives only until the end of the full expression that contains it, so a filter
// made from braced lists is good only within that expression. Pass it straight to the query:
//   registry.query(allocator, QueryFilter::init({position, velocity}))      // fine
//   auto filter = QueryFilter::init({position, velocity});                   // dangles
//   registry.query(allocator, filter);                                       // reads freed storage
// A filter kept in a variable must be made from arrays that outlive it, e.g.
//   const std::array required{position, velocity};
//   const auto filter = QueryFilter::init(required);
struct NEMRA_API QueryFilter {
  // Every one of these must be in the archetype.
  std::span<const ComponentTypeId> required;
  // None of these may be in the archetype.
  std::span<const ComponentTypeId> excluded;
  // Carried along; matches does not consult it, and both constructors leave it empty.
  std::span<const ComponentTypeId> optional;

  [[nodiscard]] static constexpr QueryFilter init(
      std::span<const ComponentTypeId> required_types) noexcept {
    return QueryFilter{required_types, {}, {}};
  }
  // From a braced list: good only within the full expression that makes it (see above).
  [[nodiscard]] static constexpr QueryFilter init(
      std::initializer_list<ComponentTypeId> required_types NEMRA_ECS_LIFETIMEBOUND) noexcept {
    return QueryFilter{required_types, {}, {}};
  }

  [[nodiscard]] static constexpr QueryFilter initWithExclusions(
      std::span<const ComponentTypeId> required_types,
      std::span<const ComponentTypeId> excluded_types) noexcept {
    return QueryFilter{required_types, excluded_types, {}};
  }
  // From braced lists: good only within the full expression that makes it (see above).
  [[nodiscard]] static constexpr QueryFilter initWithExclusions(
      std::initializer_list<ComponentTypeId> required_types NEMRA_ECS_LIFETIMEBOUND,
      std::initializer_list<ComponentTypeId> excluded_types NEMRA_ECS_LIFETIMEBOUND) noexcept {
    return QueryFilter{required_types, excluded_types, {}};
  }

  // Whether the archetype has every required type and none of the excluded ones. With both lists
  // empty every archetype matches; a type both required and excluded matches nothing.
  [[nodiscard]] bool matches(const Archetype& archetype) const noexcept;
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
  [[nodiscard]] static QueryResult init(std::pmr::memory_resource* allocator) noexcept;

  QueryResult(QueryResult&& other) noexcept = default;
  // Releases this result's storage and takes over other's, allocator included.
  QueryResult& operator=(QueryResult&& other) noexcept;
  QueryResult(const QueryResult&) = delete;
  QueryResult& operator=(const QueryResult&) = delete;
  ~QueryResult() = default;

  // Releases the storage of the id list, which is then empty; total_entities is left as it is.
  void deinit() noexcept;

 private:
  explicit QueryResult(std::pmr::memory_resource* allocator);
};

}  // namespace nemra_ecs

#endif
