#include <algorithm>
#include <cstring>
#include <new>
#include <optional>
#include <vector>

#include <nemra_ecs/detail/hash64.hpp>
#include <nemra_ecs/detail/snapshot_format.hpp>
#include <nemra_ecs/detail/snapshot_reader.hpp>
#include <nemra_ecs/owning.hpp>
#include <nemra_ecs/snapshot_diff.hpp>

namespace nemra_ecs {

namespace {

using namespace detail::snapshot_format;
using Section = SnapshotSection;

// The first index at which two byte ranges differ, or n.
std::size_t firstDifference(const std::byte* a, const std::byte* b, std::size_t n) noexcept {
  if (std::memcmp(a, b, n) == 0) return n;
  std::size_t i = 0;
  while (a[i] == b[i]) ++i;
  return i;
}

// The first coordinate at which two arrays of doubles differ (two NaNs are equal), or n.
std::size_t firstDifference(const double* a, const double* b, std::size_t n) noexcept {
  for (std::size_t i = 0; i < n; ++i) {
    const bool same = a[i] != a[i] ? b[i] != b[i] : std::memcmp(&a[i], &b[i], 8) == 0;
    if (!same) return i;
  }
  return n;
}

SnapshotDifference at(Section section, std::string_view field, std::uint64_t index = 0) {
  SnapshotDifference d;
  d.section = section;
  d.field = field;
  d.index = index;
  return d;
}

// The first differing field of two entities at the same place, or none.
std::optional<SnapshotDifference> compareEntities(const Entity& a, const Entity& b,
                                                  std::uint64_t index) {
  SnapshotDifference d = at(Section::Entities, "", index);
  d.entity = a.id;
  const double pa[4] = {a.position.x, a.position.y, a.position.z, a.position.w};
  const double pb[4] = {b.position.x, b.position.y, b.position.z, b.position.w};
  const std::size_t position = firstDifference(pa, pb, 4);
  const std::size_t transform =
      firstDifference(a.world_transform.data.data(), b.world_transform.data.data(), 16);
  const std::size_t common = std::min(a.name.size(), b.name.size());
  const auto name = firstDifference(reinterpret_cast<const std::byte*>(a.name.data()),
                                    reinterpret_cast<const std::byte*>(b.name.data()), common);
  if (a.id != b.id) {
    d.field = "id";
  } else if (a.parent_id != b.parent_id) {
    d.field = "parent_id";
  } else if (a.version != b.version) {
    d.field = "version";
  } else if (position < 4) {
    d.field = "position";
    d.offset = 8 * position;
  } else if (transform < 16) {
    d.field = "world_transform";
    d.offset = 8 * transform;
  } else if (a.state != b.state) {
    d.field = "state";
  } else if (name < common || a.name.size() != b.name.size()) {
    d.field = "name";
    d.offset = name;
  } else {
    return std::nullopt;
  }
  return d;
}

// Two tables of the same archetype: the first row holding another entity, else the first row and
// type whose component bytes differ, else the first row only one table has.
std::optional<SnapshotDifference> compareTables(const TableRecord& a, const TableRecord& b,
                                                const ArchetypeRecord& archetype,
                                                std::span<const std::uint32_t> sizes,
                                                std::uint64_t index) {
  SnapshotDifference d = at(Section::Archetypes, "", index);
  const std::uint32_t rows = std::min(a.rows, b.rows);
  const std::size_t id_row = firstDifference(a.ids, b.ids, std::size_t{8} * rows) / 8;
  // Each column's first differing row; the earliest wins, the first type among equals.
  std::uint64_t best_row = rows;
  const std::byte* column_a = a.column;
  const std::byte* column_b = b.column;
  for (std::uint32_t k = 0; k < archetype.type_count; ++k) {
    const std::uint64_t type = archetype.typeAt(k);
    const std::size_t size = sizes[type - 1];
    const std::size_t first = firstDifference(column_a, column_b, size * rows);
    if (size > 0 && first / size < best_row) {
      best_row = first / size;
      d.type = ComponentTypeId::fromId(type);
      d.offset = first % size;
    }
    column_a += size * a.rows;
    column_b += size * b.rows;
  }
  if (id_row < rows) {
    d.field = "entity";
    d.row = id_row;
    d.type = ComponentTypeId{};
    d.offset = 0;
    d.entity = EntityId::init(detail::loadLe64(a.ids + 8 * id_row));
  } else if (best_row < rows) {
    d.field = "component";
    d.row = best_row;
    d.entity = EntityId::init(detail::loadLe64(a.ids + 8 * best_row));
  } else if (a.rows != b.rows) {
    d.field = "rows";
    d.row = rows;
    d.type = ComponentTypeId{};
    d.offset = 0;
    d.entity =
        EntityId::init(detail::loadLe64((a.rows > rows ? a.ids : b.ids) + 8 * std::size_t{rows}));
  } else {
    return std::nullopt;
  }
  return d;
}

std::expected<SnapshotDifference, SnapshotError> compare(SnapshotReader& a, SnapshotReader& b,
                                                         std::pmr::memory_resource* scratch) {
  const Header ha = a.header();
  const Header hb = b.header();
  if (ha.byte_order != hb.byte_order) return at(Section::Header, "byte_order");

  // Types: the rest can be compared only when they agree.
  std::pmr::vector<std::uint32_t> sizes(scratch);
  sizes.reserve(std::min(ha.type_count, hb.type_count));
  for (std::uint32_t i = 0; i < std::min(ha.type_count, hb.type_count); ++i) {
    const TypeRecord ta = *a.nextType();
    const TypeRecord tb = *b.nextType();
    SnapshotDifference d = at(Section::Types, "", i);
    d.type = ComponentTypeId::fromId(i + 1ULL);
    if (ta.size != tb.size) {
      d.field = "size";
    } else if (ta.alignment != tb.alignment) {
      d.field = "alignment";
    } else if (ta.name != tb.name) {
      d.field = "name";
      const std::size_t common = std::min(ta.name.size(), tb.name.size());
      d.offset = firstDifference(reinterpret_cast<const std::byte*>(ta.name.data()),
                                 reinterpret_cast<const std::byte*>(tb.name.data()), common);
    } else {
      sizes.push_back(ta.size);
      continue;
    }
    return d;
  }
  if (ha.type_count != hb.type_count) return at(Section::Types, "count", sizes.size());

  const std::uint64_t entities = std::min(ha.entity_count, hb.entity_count);
  for (std::uint64_t i = 0; i < entities; ++i) {
    if (auto d = compareEntities(*a.nextEntity(), *b.nextEntity(), i)) return *d;
  }
  if (ha.entity_count != hb.entity_count) {
    SnapshotDifference d = at(Section::Entities, "count", entities);
    d.entity = (ha.entity_count > entities ? a.nextEntity() : b.nextEntity())->id;
    return d;
  }

  std::pmr::vector<ArchetypeRecord> records_a(scratch), records_b(scratch);
  records_a.reserve(ha.archetype_count);
  records_b.reserve(hb.archetype_count);
  for (std::uint32_t i = 0; i < ha.archetype_count; ++i) records_a.push_back(*a.nextArchetype());
  for (std::uint32_t i = 0; i < hb.archetype_count; ++i) records_b.push_back(*b.nextArchetype());
  const std::size_t archetypes = std::min(records_a.size(), records_b.size());
  for (std::size_t i = 0; i < archetypes; ++i) {
    const ArchetypeRecord& ra = records_a[i];
    const ArchetypeRecord& rb = records_b[i];
    if (ra.id != rb.id) return at(Section::Archetypes, "id", i);
    if (ra.type_count != rb.type_count ||
        std::memcmp(ra.types, rb.types, std::size_t{8} * ra.type_count) != 0) {
      return at(Section::Archetypes, "types", i);
    }
    const TableRecord ta = *a.nextTable(ra, sizes);
    const TableRecord tb = *b.nextTable(rb, sizes);
    if (auto d = compareTables(ta, tb, ra, sizes, i)) return *d;
  }
  if (records_a.size() != records_b.size()) {
    return at(Section::Archetypes, "count", archetypes);
  }
  if (ha.world_next_id != hb.world_next_id) return at(Section::Header, "next_id");
  if (ha.registry_next_id != hb.registry_next_id) return at(Section::Header, "registry_next_id");
  return SnapshotDifference{};
}

}  // namespace

std::expected<SnapshotDifference, SnapshotError> diffSnapshots(std::span<const std::byte> a,
                                                               std::span<const std::byte> b,
                                                               std::pmr::memory_resource* scratch) {
  scratch = detail::resourceOrDefault(scratch);
  // Both are checked whole first, so the walk below reads only well-formed records.
  for (std::span<const std::byte> bytes : {a, b}) {
    if (auto ok = SnapshotReader::check(bytes, scratch); !ok) return std::unexpected(ok.error());
  }
  auto ra = SnapshotReader::open(a);
  auto rb = SnapshotReader::open(b);
  try {
    return compare(*ra, *rb, scratch);
  } catch (const std::bad_alloc&) {
    return std::unexpected(SnapshotError::OutOfMemory);
  }
}

}  // namespace nemra_ecs
