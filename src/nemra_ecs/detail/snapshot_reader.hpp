// SnapshotReader: a snapshot read section by section in the order saveSnapshot writes it
// (docs/snapshot.md), every field through one bounds-checked cursor, every rule that needs no
// store checked where its field is read. loadSnapshot and diffSnapshots read through it.
#ifndef NEMRA_ECS_DETAIL_SNAPSHOT_READER_HPP
#define NEMRA_ECS_DETAIL_SNAPSHOT_READER_HPP

#include <cstddef>
#include <cstdint>
#include <expected>
#include <memory_resource>
#include <span>
#include <string_view>

#include <nemra_ecs/entity.hpp>
#include <nemra_ecs/snapshot.hpp>

namespace nemra_ecs::detail::snapshot_format {

// Little-endian fields from a byte range; running past its end marks the cursor as failed and
// yields zeros, so a record is read whole and checked once.
struct Cursor {
  const std::byte* p = nullptr;
  std::size_t left = 0;
  bool ok = true;

  const std::byte* take(std::size_t n) noexcept;
  std::uint8_t u8() noexcept;
  std::uint32_t u32() noexcept;
  std::uint64_t u64() noexcept;
  // Whether `count` records of at least `each` bytes could still follow.
  [[nodiscard]] bool room(std::uint64_t count, std::uint64_t each) const noexcept {
    return ok && count <= left / each;
  }
};

struct Header {
  std::uint32_t version;
  std::uint8_t byte_order;
  std::uint64_t total;
  std::uint64_t world_next_id;
  std::uint64_t entity_count;
  std::uint32_t type_count;
  std::uint32_t archetype_count;
  std::uint32_t registry_next_id;
};

struct TypeRecord {
  std::uint32_t size;
  std::uint32_t alignment;
  std::string_view name;
};

struct ArchetypeRecord {
  std::uint32_t id;
  std::uint32_t rows;
  std::uint32_t type_count;
  const std::byte* types;  // type_count little-endian u64, strictly ascending in 1 .. T

  [[nodiscard]] std::uint64_t typeAt(std::size_t k) const noexcept;
};

// One table: R row ids, then each column's R components, columns in the archetype's type order.
struct TableRecord {
  std::uint32_t rows;
  const std::byte* ids;     // R little-endian u64
  const std::byte* column;  // the first column; the next starts R * size bytes later
};

// Reads one snapshot. open checks the header (magic, version, lengths, checksum, the header's own
// fields); then the sections are read in order — T types, N entities, A archetypes, A tables —
// and finish checks what only the end can tell. Each call fails with the error of the first
// broken rule and the reader must not be used after a failure.
class SnapshotReader {
 public:
  [[nodiscard]] static std::expected<SnapshotReader, SnapshotError> open(
      std::span<const std::byte> bytes) noexcept;

  [[nodiscard]] const Header& header() const noexcept { return header_; }

  [[nodiscard]] std::expected<TypeRecord, SnapshotError> nextType() noexcept;
  // The entity's name is a view into the bytes.
  [[nodiscard]] std::expected<Entity, SnapshotError> nextEntity() noexcept;
  [[nodiscard]] std::expected<ArchetypeRecord, SnapshotError> nextArchetype() noexcept;
  // The table of `archetype`; type_sizes[t - 1] is the size of type t, for every type.
  [[nodiscard]] std::expected<TableRecord, SnapshotError> nextTable(
      const ArchetypeRecord& archetype, std::span<const std::uint32_t> type_sizes) noexcept;
  // Nothing left over; every entity id below the world's counter and every archetype id below
  // the registry's (a counter of 0 is used up and bounds nothing).
  [[nodiscard]] std::expected<void, SnapshotError> finish() noexcept;

  // Whether `count` records of at least `each` bytes could still follow: checked before
  // anything is allocated for a count.
  [[nodiscard]] bool room(std::uint64_t count, std::uint64_t each) const noexcept {
    return in_.room(count, each);
  }

  // Reads every section: whether the bytes are a well-formed snapshot, apart from what needs a
  // store or a search to tell (the store's types, repeated type lists, repeated row ids). Working
  // storage for T sizes and A records comes from `scratch`. Error: OutOfMemory besides those of
  // the sections.
  [[nodiscard]] static std::expected<void, SnapshotError> check(
      std::span<const std::byte> bytes, std::pmr::memory_resource* scratch) noexcept;

 private:
  // The next entity record's fixed part, checked, with its name; nullptr when malformed.
  const std::byte* entityRecord(std::string_view& name) noexcept;

  Header header_{};
  Cursor in_{};
  std::uint64_t last_entity_ = 0;
  std::uint32_t last_archetype_ = 0;
};

}  // namespace nemra_ecs::detail::snapshot_format

#endif
