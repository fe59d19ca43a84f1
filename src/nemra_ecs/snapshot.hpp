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
  // The world has entities, or the store has archetypes.
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
};

// "OutOfMemory", "TargetNotEmpty", "Truncated", "Oversized", "NotASnapshot", "WrongVersion",
// "ChecksumMismatch", "TypeMismatch", "ByteOrderMismatch", "Malformed".
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

// Restores a snapshot into an empty world and a store with no archetypes whose registered types
// match the snapshot's by name, size and alignment (in id order). Entity names borrow from
// `bytes`, which the caller keeps alive as long as the entities. Afterwards every query, each and
// kernel call gives what it gave before the save, in the same order, and saving again gives the
// same bytes. On any error `world` and `store` are left exactly as they were.
[[nodiscard]] NEMRA_API std::expected<void, SnapshotError> loadSnapshot(
    std::span<const std::byte> bytes, World& world, ComponentStore& store);

// The checksum saveSnapshot would write (docs/snapshot.md) if every NaN among the entities'
// positions and transforms were the one NaN 0x7FF8000000000000. The same state reached by the
// same calls gives the same digest on every machine of the same byte order (component bytes are
// hashed as they are in memory). Allocates nothing.
[[nodiscard]] NEMRA_API std::uint64_t stateDigest(const World& world,
                                                  const ComponentStore& store) noexcept;

}  // namespace nemra_ecs

#endif
