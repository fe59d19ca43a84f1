// diffSnapshots: where two snapshots (of one machine or of two) first differ, as the entity, the
// field or component type and the byte within it, for finding where two peers' states diverged.
#include <nemra/config.hpp>

#if NEMRA_CXX23 && !defined(NEMRA_ECS_SNAPSHOT_DIFF_HPP)
#define NEMRA_ECS_SNAPSHOT_DIFF_HPP

#include <cstdint>
#include <expected>
#include <memory_resource>
#include <span>
#include <string_view>

#include <nemra_ecs/ids.hpp>
#include <nemra_ecs/snapshot.hpp>

namespace nemra_ecs {

// The part of a snapshot a difference lies in.
enum class SnapshotSection : std::uint8_t {
  // The snapshots describe the same state.
  None,
  // The byte order of the component bytes, or a counter: the world's next_id, the archetype
  // registry's next_id.
  Header,
  // The registered types.
  Types,
  // The world's entities.
  Entities,
  // The store's archetypes and their tables of component data.
  Archetypes,
};

// The first difference. Fields are compared in this order, and the first that differs is the
// answer:
//
// - Header "byte_order": the snapshots come from machines of different byte order, whose
//   component bytes cannot be compared.
// - Types, for each type id in turn (`type`): "size", "alignment", "name"; then "count".
// - Entities, for each place `index` in the world's order (`entity` is the first snapshot's
//   entity there): "id", "parent_id", "version", "position", "world_transform", "state", "name";
//   then "count" (`entity` is the first entity one snapshot has beyond the other).
// - Archetypes, for each archetype in creation order (`index` its place): "id", "types"; then its
//   table: "entity" (the row `row` holds another entity), "component" (the entity `entity` in
//   row `row` has another value of component type `type`: of all such, the first row, then the
//   first type), "rows" (one table is longer: `entity` is its first extra row's); then "count".
// - Header "next_id" (the world's), "registry_next_id".
//
// `offset` is the first differing byte within the field: of a component's bytes or a name's, or
// 8 × the first differing coordinate of a position (x, y, z, w) or transform (data[0 .. 15]).
// Two NaNs are equal in positions and transforms, as in stateDigest; component bytes are compared
// as they are.
struct SnapshotDifference {
  SnapshotSection section = SnapshotSection::None;
  std::string_view field;
  std::uint64_t index = 0;
  std::uint64_t row = 0;
  EntityId entity{};
  ComponentTypeId type{};
  std::uint64_t offset = 0;

  [[nodiscard]] constexpr bool identical() const noexcept {
    return section == SnapshotSection::None;
  }
};

// Compares two snapshots; both must be well formed (the loader's checks that need no store).
// Working storage for their type sizes and archetype records comes from `scratch` (nullptr means
// the default resource) and is released before the return. Errors: those of a malformed snapshot
// (the first snapshot's first), OutOfMemory.
[[nodiscard]] NEMRA_API std::expected<SnapshotDifference, SnapshotError> diffSnapshots(
    std::span<const std::byte> a, std::span<const std::byte> b, std::pmr::memory_resource* scratch);

}  // namespace nemra_ecs

#endif
