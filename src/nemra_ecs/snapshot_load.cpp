#include <algorithm>
#include <bit>
#include <cstring>
#include <limits>
#include <new>
#include <utility>

#include <nemra_ecs/detail/hash64.hpp>
#include <nemra_ecs/detail/snapshot_format.hpp>
#include <nemra_ecs/detail/snapshot_reader.hpp>
#include <nemra_ecs/snapshot.hpp>

namespace nemra_ecs {

namespace {

using namespace detail::snapshot_format;
using E = SnapshotError;

// Whether every padding bit of `count` components of `size` bytes is zero, as saving leaves them.
bool paddingClear(const std::byte* p, std::size_t count, std::uint32_t size,
                  const std::byte* mask) noexcept {
  std::byte stray{0};
  for (std::size_t i = 0; i < count; ++i, p += size) {
    for (std::uint32_t k = 0; k < size; ++k) stray |= p[k] & ~mask[k];
  }
  return stray == std::byte{0};
}

// The store's registered types, in id order, against the type records.
std::expected<void, SnapshotError> matchTypes(SnapshotReader& in,
                                              std::span<const RegisteredType> types) noexcept {
  if (in.header().type_count != types.size()) return std::unexpected(E::TypeMismatch);
  for (const RegisteredType& t : types) {
    const auto record = in.nextType();
    if (!record) return std::unexpected(record.error());
    if (record->size != t.size || record->alignment != t.alignment || record->name != t.name) {
      return std::unexpected(E::TypeMismatch);
    }
  }
  return {};
}

// The archetype records, each type list at most once.
std::expected<void, SnapshotError> readArchetypes(SnapshotReader& in,
                                                  std::pmr::vector<ArchetypeRecord>& records) {
  const std::uint32_t count = in.header().archetype_count;
  if (!in.room(count, kArchetypeFixed)) return std::unexpected(E::Malformed);
  records.reserve(count);
  for (std::uint32_t i = 0; i < count; ++i) {
    const auto a = in.nextArchetype();
    if (!a) return std::unexpected(a.error());
    records.push_back(*a);
  }
  std::pmr::vector<std::uint32_t> order(records.size(), records.get_allocator());
  for (std::uint32_t i = 0; i < order.size(); ++i) order[i] = i;
  auto less = [&](std::uint32_t x, std::uint32_t y) {
    const ArchetypeRecord& a = records[x];
    const ArchetypeRecord& b = records[y];
    if (a.type_count != b.type_count) return a.type_count < b.type_count;
    for (std::uint32_t k = 0; k < a.type_count; ++k) {
      if (a.typeAt(k) != b.typeAt(k)) return a.typeAt(k) < b.typeAt(k);
    }
    return false;
  };
  std::sort(order.begin(), order.end(), less);
  for (std::size_t i = 1; i < order.size(); ++i) {
    if (!less(order[i - 1], order[i])) return std::unexpected(E::Malformed);
  }
  return {};
}

// Whether `table` (kept from an earlier state) has exactly the columns of `list` and room for
// `rows` rows, so that it can take a table of the snapshot without allocating.
bool fits(const detail::Table& table, std::span<const ComponentTypeId> list,
          std::uint32_t rows) noexcept {
  if (table.capacity < rows || table.columns.size() != list.size()) return false;
  for (std::size_t k = 0; k < list.size(); ++k) {
    if (table.columns[k].type != list[k]) return false;
  }
  return true;
}

// The tables, with the registry that describes them and every row's id and place, for the entity
// index built at once afterwards. The table at position i reuses spare[i] when that fits.
std::expected<void, SnapshotError> readTables(SnapshotReader& in,
                                              std::span<const ArchetypeRecord> records,
                                              std::span<const RegisteredType> types,
                                              std::pmr::vector<detail::Table>& spare,
                                              ArchetypeRegistry& registry,
                                              std::pmr::vector<detail::Table>& tables,
                                              std::pmr::vector<detail::EntityIndex::Entry>& rows) {
  std::pmr::memory_resource* resource = tables.get_allocator().resource();
  // Each row holds at least its 8-byte id, which bounds the count before anything is allocated.
  std::uint64_t total_rows = 0;
  for (const ArchetypeRecord& a : records) total_rows += a.rows;
  if (!in.room(total_rows, 8)) return std::unexpected(E::Malformed);
  rows.clear();
  rows.reserve(static_cast<std::size_t>(total_rows));
  std::pmr::vector<std::uint32_t> sizes(resource);
  sizes.reserve(types.size());
  for (const RegisteredType& t : types) sizes.push_back(t.size);
  registry.archetypes.reserve(records.size());
  tables.reserve(records.size());
  std::pmr::vector<ComponentTypeId> list(resource);
  for (const ArchetypeRecord& a : records) {
    const auto table_bytes = in.nextTable(a, sizes);
    if (!table_bytes) return std::unexpected(table_bytes.error());
    list.clear();
    for (std::uint32_t k = 0; k < a.type_count; ++k) {
      list.push_back(ComponentTypeId::fromId(a.typeAt(k)));
    }
    registry.next_id = a.id;
    if (!registry.createArchetype(list)) return std::unexpected(E::OutOfMemory);
    registry.archetypes.back().entity_count = a.rows;
    const std::size_t at = tables.size();
    if (at < spare.size() && fits(spare[at], list, a.rows)) {
      tables.push_back(std::move(spare[at]));
      detail::Table& table = tables.back();
      table.archetype = ArchetypeId::init(a.id);
      table.rows = 0;
      std::ranges::fill(table.edges, detail::Table::NONE);
    } else {
      detail::Table table(resource, ArchetypeId::init(a.id));
      table.columns.reserve(list.size());
      for (ComponentTypeId t : list) {
        table.columns.push_back(
            detail::Column{t, types[t.id - 1].size, types[t.id - 1].alignment, nullptr});
      }
      if (!table.indexColumns(types.size())) return std::unexpected(E::OutOfMemory);
      if (!table.reserveRows(a.rows)) return std::unexpected(E::OutOfMemory);
      tables.push_back(std::move(table));
    }
    detail::Table& table = tables.back();
    for (std::uint32_t r = 0; r < a.rows; ++r) {
      const std::uint64_t id = detail::loadLe64(table_bytes->ids + 8 * r);
      rows.push_back({id, detail::RowRef{static_cast<std::uint32_t>(at), r}});
      table.entities[r] = id;
    }
    const std::byte* column = table_bytes->column;
    for (detail::Column& c : table.columns) {
      const std::size_t size = std::size_t{a.rows} * c.size;
      const std::byte* mask = types[c.type.id - 1].padding_mask;
      if (mask != nullptr && !paddingClear(column, a.rows, c.size, mask)) {
        return std::unexpected(E::Malformed);
      }
      if (size > 0) std::memcpy(c.data, column, size);
      column += size;
    }
    table.rows = a.rows;
  }
  return {};
}

// Whether every component passes its type's check, tables in order, columns in type order,
// rows in order.
bool componentsPass(std::span<const detail::Table> tables,
                    std::span<const RegisteredType> types) noexcept {
  for (const detail::Table& t : tables) {
    for (const detail::Column& c : t.columns) {
      const ComponentCheck check = types[c.type.id - 1].check;
      for (std::uint32_t r = 0; check != nullptr && r < t.rows; ++r) {
        if (!check(std::span<const std::byte>(c.data + std::size_t{r} * c.size, c.size))) {
          return false;
        }
      }
    }
  }
  return true;
}

// Reads the whole snapshot and builds its state beside the live one (in the storage the last
// restore left spare, where it fits), then swaps it in once nothing can fail: the sections in
// the order they are written, the first broken rule deciding the error (docs/snapshot.md lists
// them in this order).
std::expected<void, SnapshotError> replaceState(std::span<const std::byte> bytes, World& world,
                                                ComponentStore& store, bool world_empty) {
  auto in = SnapshotReader::open(bytes);
  if (!in) return std::unexpected(in.error());
  const Header& head = in->header();
  const std::span<const RegisteredType> types = store.types();
  if (auto matched = matchTypes(*in, types); !matched) return matched;

  // The entities go straight into an empty world (emptied again on any error), or into the
  // world's spare array, which replaces its entities at the end.
  const std::uint64_t count = head.entity_count;
  if (!in->room(count, kEntityFixed)) return std::unexpected(E::Malformed);
  std::size_t name_bytes = 0;

  std::pmr::memory_resource* store_resource = SnapshotAccess::resource(store);
  SnapshotAccess::Spare spare = SnapshotAccess::spare(store, world);
  struct EmptyAgain {
    World& world;
    bool armed;
    ~EmptyAgain() {
      if (armed) world.entities.clear();
    }
  };
  try {
    EmptyAgain undo{world, world_empty};
    std::pmr::vector<Entity>& entities = world_empty ? world.entities : spare.entities;
    entities.clear();
    entities.reserve(static_cast<std::size_t>(count));
    for (std::uint64_t i = 0; i < count; ++i) {
      const auto e = in->nextEntity();
      if (!e) return std::unexpected(e.error());
      name_bytes += e->name.size();
      entities.push_back(*e);
    }
    std::pmr::vector<ArchetypeRecord> records(store_resource);
    if (auto read = readArchetypes(*in, records); !read) return read;
    const bool any_rows =
        std::ranges::any_of(records, [](const ArchetypeRecord& a) { return a.rows > 0; });
    if (head.byte_order != kHostOrder && any_rows) return std::unexpected(E::ByteOrderMismatch);
    ArchetypeRegistry registry = ArchetypeRegistry::init(store_resource);
    std::pmr::vector<detail::Table> tables(store_resource);
    if (auto read = readTables(*in, records, types, spare.tables, registry, tables, spare.rows);
        !read) {
      return read;
    }
    if (auto end = in->finish(); !end) return end;
    registry.next_id = head.registry_next_id;
    // The index, at once: an id given twice is malformed.
    switch (spare.index.assign(spare.rows)) {
      case detail::EntityIndex::Assigned::ok:
        break;
      case detail::EntityIndex::Assigned::duplicate:
        return std::unexpected(E::Malformed);
      case detail::EntityIndex::Assigned::outOfMemory:
        return std::unexpected(E::OutOfMemory);
    }
    // The program's own checks, on a snapshot found well-formed.
    if (!componentsPass(tables, types)) return std::unexpected(E::ComponentRefused);
    spare.names.resize(name_bytes);

    // Nothing fails from here on.
    undo.armed = false;
    char* name = spare.names.data();
    const auto own = [&name](Entity& e) noexcept {
      if (!e.name.empty()) std::memcpy(name, e.name.data(), e.name.size());
      e.name = std::string_view(name, e.name.size());
      name += e.name.size();
    };
    for (Entity& e : entities) own(e);
    if (!world_empty) world.entities.swap(entities);
    world.next_id = head.world_next_id;
    SnapshotAccess::commit(store, world, std::move(registry), tables);
    return {};
  } catch (const std::bad_alloc&) {
    return std::unexpected(E::OutOfMemory);
  } catch (const std::length_error&) {
    return std::unexpected(E::OutOfMemory);
  }
}

}  // namespace

std::expected<void, SnapshotError> loadSnapshot(std::span<const std::byte> bytes, World& world,
                                                ComponentStore& store) {
  if (!world.entities.empty() || !SnapshotAccess::tables(store).empty() ||
      store.entityCount() != 0) {
    return std::unexpected(E::TargetNotEmpty);
  }
  auto loaded = replaceState(bytes, world, store, true);
  // A load is no rollback: the working storage kept for a next restore goes.
  if (loaded) SnapshotAccess::dropSpare(store);
  return loaded;
}

std::expected<void, SnapshotError> restoreSnapshot(std::span<const std::byte> bytes, World& world,
                                                   ComponentStore& store) {
  return replaceState(bytes, world, store, world.entities.empty());
}

}  // namespace nemra_ecs
