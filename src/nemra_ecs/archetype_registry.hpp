// ArchetypeRegistry: creates archetypes with fresh identifiers, finds them by identifier, counts
// them, and runs queries over them. Independent of any World.
#include <nemra/config.hpp>

#if NEMRA_CXX23 && !defined(NEMRA_ECS_ARCHETYPE_REGISTRY_HPP)
#define NEMRA_ECS_ARCHETYPE_REGISTRY_HPP

#include <cstdint>
#include <expected>
#include <initializer_list>
#include <memory_resource>
#include <span>

#include <nemra_ecs/archetype.hpp>
#include <nemra_ecs/error.hpp>
#include <nemra_ecs/ids.hpp>
#include <nemra_ecs/query.hpp>

namespace nemra_ecs {

// Owns its archetypes and their component lists, all on the allocator given to init. Move-only.
//
// Invariants kept by the registry: every archetype has a valid id; the ids are distinct,
// increase with position and are all below next_id.
class NEMRA_API ArchetypeRegistry {
 public:
  // The archetypes, held by value, in creation order. Appending may move them: a pointer into
  // the array is good only until the next createArchetype, deinit or move-assignment.
  std::pmr::vector<Archetype> archetypes;
  // The id the next createArchetype draws. 4294967295 is never handed out: it marks the counter
  // as used up.
  std::uint32_t next_id;

  // An empty registry on `allocator` (nullptr means std::pmr::get_default_resource()). Allocates
  // nothing and cannot fail.
  [[nodiscard]] static ArchetypeRegistry init(std::pmr::memory_resource* allocator) noexcept;

  ArchetypeRegistry(ArchetypeRegistry&& other) noexcept = default;
  // Releases this registry's storage and takes over other's, allocator included.
  ArchetypeRegistry& operator=(ArchetypeRegistry&& other) noexcept;
  ArchetypeRegistry(const ArchetypeRegistry&) = delete;
  ArchetypeRegistry& operator=(const ArchetypeRegistry&) = delete;
  ~ArchetypeRegistry() = default;

  // Releases every archetype's component list, in creation order, then the archetype array; the
  // registry is then empty and may be used again.
  void deinit() noexcept;

  // Creates an archetype with a copy of `component_types` (in that order, duplicates kept) and
  // returns its id. The id is drawn first, so a call that then fails still uses it up. Errors:
  // OutOfMemory (the registry is unchanged but for next_id), IdentifiersExhausted (next_id is
  // 4294967295 or was set to 0; the registry is unchanged).
  [[nodiscard]] std::expected<ArchetypeId, Error> createArchetype(
      std::span<const ComponentTypeId> component_types);
  // The same from a braced list, `createArchetype({position, velocity})`: the list is copied
  // before the call returns, so nothing is left referring to it.
  [[nodiscard]] std::expected<ArchetypeId, Error> createArchetype(
      std::initializer_list<ComponentTypeId> component_types) {
    return createArchetype(std::span<const ComponentTypeId>(component_types));
  }

  // The first archetype whose id equals `id`, or nullptr. A changeable reference into the array,
  // good until the next createArchetype, deinit or move-assignment.
  [[nodiscard]] Archetype* getArchetype(ArchetypeId id) noexcept;
  [[nodiscard]] const Archetype* getArchetype(ArchetypeId id) const noexcept;

  // The number of archetypes.
  [[nodiscard]] std::uint32_t count() const noexcept;

  // The ids of the archetypes `filter` matches, in creation order, with the sum of their entity
  // counts. The result's storage comes from `allocator` (nullptr means
  // std::pmr::get_default_resource()), which need not be the registry's; the caller releases it.
  // The registry is never changed. Error: OutOfMemory, with nothing left allocated.
  [[nodiscard]] std::expected<QueryResult, Error> query(std::pmr::memory_resource* allocator,
                                                        const QueryFilter& filter) const;

 private:
  explicit ArchetypeRegistry(std::pmr::memory_resource* allocator);
};

}  // namespace nemra_ecs

#endif
