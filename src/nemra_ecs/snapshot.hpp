// Snapshots: the whole state of a World and a ComponentStore as one versioned byte sequence
// (docs/snapshot.md gives the layout byte by byte), loaded back exactly; and stateDigest, a 64-bit
// fingerprint of that state for telling two peers apart.
#include <nemra/config.hpp>

#if NEMRA_CXX23 && !defined(NEMRA_ECS_SNAPSHOT_HPP)
#define NEMRA_ECS_SNAPSHOT_HPP

#include <cstddef>
#include <cstdint>
#include <expected>
#include <iosfwd>
#include <memory_resource>
#include <span>
#include <string_view>
#include <vector>

#include <nemra_ecs/component_store.hpp>
#include <nemra_ecs/error.hpp>
#include <nemra_ecs/world.hpp>

namespace nemra_ecs {

// The format version saveSnapshot writes. loadSnapshot reads it and version 1, which differs
// only in its checksum (docs/snapshot.md).
inline constexpr std::uint32_t SNAPSHOT_VERSION = 2;

enum class SnapshotError : std::uint8_t {
  // Memory ran out while building the loaded state.
  OutOfMemory,
  // The world has entities, or the store has archetypes (loadSnapshot only).
  TargetNotEmpty,
  // The bytes end before the snapshot's recorded length (or before its header).
  Truncated,
  // The bytes go on past the snapshot's recorded length.
  Oversized,
  // The bytes do not start as a snapshot does.
  NotASnapshot,
  // A format version other than 1 and SNAPSHOT_VERSION (2).
  WrongVersion,
  // The checksum does not match the bytes.
  ChecksumMismatch,
  // The store's registered types differ from the snapshot's in number, name, size or alignment.
  TypeMismatch,
  // Component bytes saved on a machine of the other byte order.
  ByteOrderMismatch,
  // The checksum matches but the contents are inconsistent (bad counts, ids out of order, an
  // unknown state, a repeated entity ...).
  Malformed,
  // A component's check (given to registerType) refused a loaded component.
  ComponentRefused,
};

// "OutOfMemory", "TargetNotEmpty", "Truncated", "Oversized", "NotASnapshot", "WrongVersion",
// "ChecksumMismatch", "TypeMismatch", "ByteOrderMismatch", "Malformed", "ComponentRefused".
[[nodiscard]] constexpr std::string_view snapshotErrorName(SnapshotError error) noexcept {
  switch (error) {
    case SnapshotError::OutOfMemory:
      return "OutOfMemory";
    case SnapshotError::TargetNotEmpty:
      return "TargetNotEmpty";
    case SnapshotError::Truncated:
      return "Truncated";
    case SnapshotError::Oversized:
      return "Oversized";
    case SnapshotError::NotASnapshot:
      return "NotASnapshot";
    case SnapshotError::WrongVersion:
      return "WrongVersion";
    case SnapshotError::ChecksumMismatch:
      return "ChecksumMismatch";
    case SnapshotError::TypeMismatch:
      return "TypeMismatch";
    case SnapshotError::ByteOrderMismatch:
      return "ByteOrderMismatch";
    case SnapshotError::Malformed:
      return "Malformed";
    case SnapshotError::ComponentRefused:
      return "ComponentRefused";
  }
  return "UnknownSnapshotError";
}
// Lets the assertion helpers print it as they print Error.
[[nodiscard]] constexpr std::string_view errorName(SnapshotError error) noexcept {
  return snapshotErrorName(error);
}
NEMRA_API std::ostream& operator<<(std::ostream& os, SnapshotError error);

// Every field of every entity, the world's next_id, the store's registered types (names, sizes,
// alignments), its archetypes and every table's rows and component bytes, with a checksum over
// the whole. The bytes come from `out` (nullptr means the default resource). Error: OutOfMemory.
[[nodiscard]] NEMRA_API std::expected<std::pmr::vector<std::byte>, Error> saveSnapshot(
    const World& world, const ComponentStore& store, std::pmr::memory_resource* out);

// saveSnapshot into `bytes`, whose storage is reused (allocating only when it must grow), and the
// state's stateDigest, taken from the checksum written unless an entity's position or transform
// holds a NaN or an infinity (then by another pass). A program that saves every frame into a ring
// of buffers pays neither an allocation nor a second pass over the state. Error: OutOfMemory
// (`bytes` is left as it was).
[[nodiscard]] NEMRA_API std::expected<std::uint64_t, Error> saveSnapshotInto(
    const World& world, const ComponentStore& store, std::pmr::vector<std::byte>& bytes);

// Restores a snapshot into an empty world and a store with no archetypes whose registered types
// match the snapshot's by name, size and alignment (in id order). Afterwards every query, each and
// kernel call gives what it gave before the save, in the same order, and saving again gives the
// same bytes. Entity names are copied into storage the world owns: `bytes` may be released or
// reused as soon as the call returns, and the names stay good until the world's next load,
// restore, deinit or destruction. On any error `world` and `store` are left exactly as they
// were.
[[nodiscard]] NEMRA_API std::expected<void, SnapshotError> loadSnapshot(
    std::span<const std::byte> bytes, World& world, ComponentStore& store);

// Replaces the whole contents of a live world and store with a snapshot's, as a rollback does:
// the registered types stay (and must match the snapshot's as for loadSnapshot), the entities,
// archetypes, tables and index become the snapshot's, exactly as loadSnapshot into fresh
// objects would make them. The same checks and errors as loadSnapshot, but for TargetNotEmpty.
//
// Storage: the new state is built in the storage the previous restore replaced (kept by the
// store and the world for this purpose), table by table where the types and capacity fit, and
// swapped in at the end; so a loop of restores of similar states allocates little after the
// first two. Entity names are copied into storage the world owns, as for loadSnapshot: a ring of
// snapshot buffers may be overwritten at will, and names of the previous state become invalid
// at the restore. Pointers from get and getEntity are invalidated.
//
// Strong guarantee: on any error (a bad snapshot, or OutOfMemory at any allocation) the world
// and the store are exactly as they were (only spare capacity may differ).
[[nodiscard]] NEMRA_API std::expected<void, SnapshotError> restoreSnapshot(
    std::span<const std::byte> bytes, World& world, ComponentStore& store);

// The checksum saveSnapshot would write (docs/snapshot.md) if every NaN among the entities'
// positions and transforms were the one NaN 0x7FF8000000000000. The same state reached by the
// same calls gives the same digest on every machine of the same byte order (component bytes are
// hashed as they are in memory). Allocates nothing.
[[nodiscard]] NEMRA_API std::uint64_t stateDigest(const World& world,
                                                  const ComponentStore& store) noexcept;

}  // namespace nemra_ecs

#endif
