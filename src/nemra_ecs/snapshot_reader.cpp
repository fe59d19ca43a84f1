#include <algorithm>
#include <bit>
#include <cstring>
#include <new>
#include <vector>

#include <nemra_ecs/detail/hash64.hpp>
#include <nemra_ecs/detail/snapshot_format.hpp>
#include <nemra_ecs/detail/snapshot_reader.hpp>

namespace nemra_ecs::detail::snapshot_format {

namespace {

template <class U>
U readLe(Cursor& c) noexcept {
  const std::byte* at = c.take(sizeof(U));
  if (at == nullptr) return 0;
  U v;
  std::memcpy(&v, at, sizeof(U));
  return toLe(v);
}

constexpr std::uint8_t kLastState = static_cast<std::uint8_t>(EntityState::destroyed);

}  // namespace

const std::byte* Cursor::take(std::size_t n) noexcept {
  if (!ok || n > left) {
    ok = false;
    return nullptr;
  }
  const std::byte* at = p;
  p += n;
  left -= n;
  return at;
}

std::uint8_t Cursor::u8() noexcept { return readLe<std::uint8_t>(*this); }
std::uint32_t Cursor::u32() noexcept { return readLe<std::uint32_t>(*this); }
std::uint64_t Cursor::u64() noexcept { return readLe<std::uint64_t>(*this); }

std::uint64_t ArchetypeRecord::typeAt(std::size_t k) const noexcept {
  return loadLe64(types + 8 * k);
}

std::expected<SnapshotReader, SnapshotError> SnapshotReader::open(
    std::span<const std::byte> bytes) noexcept {
  using E = SnapshotError;
  const std::size_t n = bytes.size();
  // The magic, as far as the bytes go, then the version: a snapshot of another version may lay
  // out everything after it differently, its length field included.
  if (n == 0) return std::unexpected(E::Truncated);
  if (std::memcmp(bytes.data(), kMagic, std::min(n, sizeof kMagic)) != 0) {
    return std::unexpected(E::NotASnapshot);
  }
  // A beginning of the magic and no more: the header below starts after the magic's last byte.
  if (n < sizeof kMagic) return std::unexpected(E::Truncated);
  Cursor head{bytes.data() + sizeof kMagic, std::min(n, kHeaderSize) - sizeof kMagic};
  SnapshotReader r;
  r.header_.version = head.u32();
  if (!head.ok) return std::unexpected(E::Truncated);
  if (r.header_.version != 1 && r.header_.version != SNAPSHOT_VERSION) {
    return std::unexpected(E::WrongVersion);
  }
  r.header_.byte_order = head.u8();
  const std::byte* reserved = head.take(3);
  r.header_.total = head.u64();
  r.header_.world_next_id = head.u64();
  r.header_.entity_count = head.u64();
  r.header_.type_count = head.u32();
  r.header_.archetype_count = head.u32();
  r.header_.registry_next_id = head.u32();
  const std::uint32_t reserved_end = head.u32();
  // The length: the bytes hold exactly one snapshot, its checksum included.
  if (!head.ok || n < r.header_.total) return std::unexpected(E::Truncated);
  if (n > r.header_.total) return std::unexpected(E::Oversized);
  if (n < kHeaderSize + kChecksumSize) return std::unexpected(E::Truncated);
  const std::size_t body = n - kChecksumSize;
  const std::uint64_t sum = r.header_.version == 1 ? hash64(bytes.data(), body)
                                                   : checksumV2(bytes.data(), n, kHeaderSize);
  if (sum != loadLe64(bytes.data() + body)) {
    return std::unexpected(E::ChecksumMismatch);
  }
  const bool reserved_zero = reserved[0] == std::byte{0} && reserved[1] == std::byte{0} &&
                             reserved[2] == std::byte{0} && reserved_end == 0;
  if (!reserved_zero || (r.header_.byte_order != kLittle && r.header_.byte_order != kBig)) {
    return std::unexpected(E::Malformed);
  }
  r.in_ = Cursor{bytes.data() + kHeaderSize, body - kHeaderSize};
  return r;
}

std::expected<TypeRecord, SnapshotError> SnapshotReader::nextType() noexcept {
  TypeRecord t{};
  t.size = in_.u32();
  t.alignment = in_.u32();
  const std::uint32_t length = in_.u32();
  const std::byte* name = in_.take(length);
  if (!in_.ok) return std::unexpected(SnapshotError::Malformed);
  t.name = std::string_view(reinterpret_cast<const char*>(name), length);
  return t;
}

const std::byte* SnapshotReader::entityRecord(std::string_view& name) noexcept {
  // The fixed part in one piece, its fields at fixed offsets, then the name.
  const std::byte* p = in_.take(kEntityFixed);
  if (p == nullptr) return nullptr;
  const std::uint64_t id = loadLe64(p);
  const auto state = std::to_integer<std::uint8_t>(p[kEntityFixed - 5]);
  std::uint32_t length;
  std::memcpy(&length, p + kEntityFixed - 4, 4);
  length = toLe(length);
  const std::byte* text = in_.take(length);
  if (!in_.ok || id <= last_entity_ || state > kLastState) return nullptr;
  last_entity_ = id;
  name = std::string_view(reinterpret_cast<const char*>(text), length);
  return p;
}

std::expected<Entity, SnapshotError> SnapshotReader::nextEntity() noexcept {
  std::string_view name;
  const std::byte* p = entityRecord(name);
  if (p == nullptr) return std::unexpected(SnapshotError::Malformed);
  Entity e = Entity::init(loadLe64(p), name);
  e.parent_id = EntityId::init(loadLe64(p + 8));
  e.version = loadLe64(p + 16);
  static_assert(sizeof(nemra_kernel::HomVec4) == 32 && sizeof(e.world_transform.data) == 128);
  if constexpr (kHostLittle) {
    std::memcpy(&e.position, p + 24, 32);
    std::memcpy(e.world_transform.data.data(), p + 56, 128);
  } else {
    const std::byte* d = p + 24;
    for (double* x : {&e.position.x, &e.position.y, &e.position.z, &e.position.w}) {
      *x = std::bit_cast<double>(loadLe64(d));
      d += 8;
    }
    for (double& x : e.world_transform.data) {
      x = std::bit_cast<double>(loadLe64(d));
      d += 8;
    }
  }
  e.state = static_cast<EntityState>(std::to_integer<std::uint8_t>(p[kEntityFixed - 5]));
  return e;
}

std::expected<ArchetypeRecord, SnapshotError> SnapshotReader::nextArchetype() noexcept {
  const std::uint32_t type_count = header_.type_count;
  ArchetypeRecord a{in_.u32(), in_.u32(), in_.u32(), nullptr};
  const bool pad_zero = in_.u32() == 0;
  a.types = in_.take(std::size_t{8} * std::min<std::uint64_t>(a.type_count, type_count + 1ULL));
  if (!in_.ok || !pad_zero || a.id <= last_archetype_ || a.id == 0xFFFFFFFFU || a.type_count == 0 ||
      a.type_count > type_count || a.rows > 0xFFFFFFFEU) {
    return std::unexpected(SnapshotError::Malformed);
  }
  for (std::uint32_t k = 0; k < a.type_count; ++k) {
    const std::uint64_t t = a.typeAt(k);
    if (t == 0 || t > type_count || (k > 0 && t <= a.typeAt(k - 1))) {
      return std::unexpected(SnapshotError::Malformed);
    }
  }
  last_archetype_ = a.id;
  return a;
}

std::expected<TableRecord, SnapshotError> SnapshotReader::nextTable(
    const ArchetypeRecord& archetype, std::span<const std::uint32_t> type_sizes) noexcept {
  std::uint64_t row_bytes = 8;
  for (std::uint32_t k = 0; k < archetype.type_count; ++k) {
    row_bytes += type_sizes[archetype.typeAt(k) - 1];
  }
  if (!in_.room(archetype.rows, row_bytes)) return std::unexpected(SnapshotError::Malformed);
  TableRecord t{archetype.rows, in_.take(std::size_t{8} * archetype.rows), nullptr};
  t.column = in_.take(static_cast<std::size_t>((row_bytes - 8) * archetype.rows));
  for (std::uint32_t r = 0; r < t.rows; ++r) {
    if (loadLe64(t.ids + 8 * r) == 0) return std::unexpected(SnapshotError::Malformed);
  }
  return t;
}

std::expected<void, SnapshotError> SnapshotReader::finish() noexcept {
  const Header& h = header_;
  if (!in_.ok || in_.left != 0 || (h.world_next_id != 0 && last_entity_ >= h.world_next_id) ||
      (h.registry_next_id != 0 && last_archetype_ >= h.registry_next_id)) {
    return std::unexpected(SnapshotError::Malformed);
  }
  return {};
}

std::expected<void, SnapshotError> SnapshotReader::check(
    std::span<const std::byte> bytes, std::pmr::memory_resource* scratch) noexcept {
  using E = SnapshotError;
  auto r = open(bytes);
  if (!r) return std::unexpected(r.error());
  const Header& h = r->header();
  try {
    // Counts are checked against the bytes left before anything is allocated for them.
    if (!r->room(h.type_count, kTypeFixed)) return std::unexpected(E::Malformed);
    std::pmr::vector<std::uint32_t> sizes(scratch);
    sizes.reserve(h.type_count);
    for (std::uint32_t i = 0; i < h.type_count; ++i) {
      auto t = r->nextType();
      if (!t) return std::unexpected(t.error());
      sizes.push_back(t->size);
    }
    for (std::uint64_t i = 0; i < h.entity_count; ++i) {
      if (auto e = r->nextEntity(); !e) return std::unexpected(e.error());
    }
    if (!r->room(h.archetype_count, kArchetypeFixed)) return std::unexpected(E::Malformed);
    std::pmr::vector<ArchetypeRecord> archetypes(scratch);
    archetypes.reserve(h.archetype_count);
    for (std::uint32_t i = 0; i < h.archetype_count; ++i) {
      auto a = r->nextArchetype();
      if (!a) return std::unexpected(a.error());
      archetypes.push_back(*a);
    }
    for (const ArchetypeRecord& a : archetypes) {
      if (auto t = r->nextTable(a, sizes); !t) return std::unexpected(t.error());
    }
    return r->finish();
  } catch (const std::bad_alloc&) {
    return std::unexpected(E::OutOfMemory);
  }
}

}  // namespace nemra_ecs::detail::snapshot_format
