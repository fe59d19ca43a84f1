#include <algorithm>
#include <atomic>
#include <cstring>
#include <limits>
#include <new>
#include <utility>

#include <nemra_ecs/component_store.hpp>
#include <nemra_ecs/owning.hpp>

namespace nemra_ecs {

std::uint32_t detail::newTypeSlot() noexcept {
  static std::atomic<std::uint32_t> next{0};
  return next.fetch_add(1, std::memory_order_relaxed);
}

ComponentStore::ComponentStore(std::pmr::memory_resource* allocator) noexcept
    : types_(detail::resourceOrDefault(allocator)),
      id_of_slot_(detail::resourceOrDefault(allocator)),
      root_edges_(detail::resourceOrDefault(allocator)),
      guesses_(detail::resourceOrDefault(allocator)),
      registry_(ArchetypeRegistry::init(detail::resourceOrDefault(allocator))),
      tables_(detail::resourceOrDefault(allocator)),
      index_(detail::resourceOrDefault(allocator)),
      spare_tables_(detail::resourceOrDefault(allocator)),
      spare_index_(detail::resourceOrDefault(allocator)),
      spare_rows_(detail::resourceOrDefault(allocator)) {}

ComponentStore ComponentStore::init(std::pmr::memory_resource* allocator) noexcept {
  return ComponentStore(allocator);
}

ComponentStore& ComponentStore::operator=(ComponentStore&& other) noexcept {
  return detail::moveAssignByRebuild(*this, std::move(other));
}

void ComponentStore::deinit() noexcept {
  for (detail::Table& t : tables_) t.release();
  detail::releaseStorage(tables_);
  registry_.deinit();
  registry_.next_id = 1;
  index_.release();
  dropSpare();
  detail::releaseStorage(types_);
  detail::releaseStorage(id_of_slot_);
  detail::releaseStorage(root_edges_);
  detail::releaseStorage(guesses_);
  last_multi_ = MultiEdge{};
}

std::expected<ComponentTypeId, Error> ComponentStore::registerRaw(
    const void* key, std::uint32_t slot, std::string_view name, std::size_t size,
    std::size_t alignment, const std::byte* padding_mask, ComponentCheck check) {
  for (const RegisteredType& t : types_) {
    if (t.key == key || t.name == name) return std::unexpected(Error::DuplicateType);
  }
  const ComponentTypeId id = ComponentTypeId::fromId(types_.size() + 1);
  try {
    // All room first; the sizes change only once nothing can fail.
    types_.reserve(types_.size() + 1);
    root_edges_.reserve(static_cast<std::size_t>(id.id) + 1);
    guesses_.reserve(static_cast<std::size_t>(id.id) + 1);
    if (slot >= id_of_slot_.size()) id_of_slot_.reserve(std::size_t{slot} + 1);
  } catch (const std::bad_alloc&) {
    return std::unexpected(Error::OutOfMemory);
  }
  types_.push_back(RegisteredType{id, name, static_cast<std::uint32_t>(size),
                                  static_cast<std::uint32_t>(alignment), key, padding_mask, check});
  root_edges_.resize(static_cast<std::size_t>(id.id) + 1, NONE);
  guesses_.resize(static_cast<std::size_t>(id.id) + 1);
  if (slot >= id_of_slot_.size()) id_of_slot_.resize(std::size_t{slot} + 1, 0);
  id_of_slot_[slot] = static_cast<std::uint32_t>(id.id);
  return id;
}

std::ptrdiff_t ComponentStore::findTable(std::span<const ComponentTypeId> types) const noexcept {
  for (std::size_t i = 0; i < tables_.size(); ++i) {
    const auto& columns = tables_[i].columns;
    if (columns.size() != types.size()) continue;
    bool same = true;
    for (std::size_t c = 0; c < types.size() && same; ++c) same = columns[c].type == types[c];
    if (same) return static_cast<std::ptrdiff_t>(i);
  }
  return -1;
}

void ComponentStore::syncCount(std::uint32_t table) noexcept {
  registry_.archetypes[table].entity_count = tables_[table].rows;
}

std::expected<std::uint32_t, Error> ComponentStore::tableOf(std::span<const ComponentTypeId> types,
                                                            bool& created) {
  created = false;
  if (const std::ptrdiff_t found = findTable(types); found >= 0) {
    return static_cast<std::uint32_t>(found);
  }
  const std::uint32_t saved_next_id = registry_.next_id;
  try {
    tables_.reserve(tables_.size() + 1);
    registry_.archetypes.reserve(registry_.archetypes.size() + 1);
  } catch (const std::bad_alloc&) {
    return std::unexpected(Error::OutOfMemory);
  }
  detail::Table table(tables_.get_allocator().resource(), ArchetypeId::invalid());
  try {
    table.columns.reserve(types.size());
    for (ComponentTypeId t : types) {
      const RegisteredType& info = types_[t.id - 1];
      table.columns.push_back(detail::Column{t, info.size, info.alignment, nullptr});
    }
  } catch (const std::bad_alloc&) {
    return std::unexpected(Error::OutOfMemory);
  }
  if (!table.indexColumns(types_.size())) return std::unexpected(Error::OutOfMemory);
  const std::expected<ArchetypeId, Error> archetype = registry_.createArchetype(types);
  if (!archetype) {
    registry_.next_id = saved_next_id;
    return std::unexpected(archetype.error());
  }
  table.archetype = *archetype;
  tables_.push_back(std::move(table));  // within the reserved capacity: cannot throw
  created = true;
  return static_cast<std::uint32_t>(tables_.size() - 1);
}

void ComponentStore::dropLastTable(std::uint32_t saved_next_id) noexcept {
  tables_.pop_back();
  registry_.archetypes.back().deinit();
  registry_.archetypes.pop_back();
  registry_.next_id = saved_next_id;
  // Nothing recorded can point at it: transitions are recorded once the move cannot fail.
}

void ComponentStore::dropSpare() noexcept {
  for (detail::Table& t : spare_tables_) t.release();
  detail::releaseStorage(spare_tables_);
  spare_index_.release();
  detail::releaseStorage(spare_rows_);
}

void ComponentStore::forgetEdges() noexcept {
  for (std::uint32_t& edge : root_edges_) edge = NONE;
  last_multi_ = MultiEdge{};
}

std::expected<detail::RowRef, Error> ComponentStore::rowWith(
    EntityId entity, detail::RowRef* ref, std::span<const ComponentTypeId> types) {
  if (!entity.isValid()) return std::unexpected(Error::UnknownEntity);
  // The quick ways to the target of a new entity: a single type by its recorded edge out of no
  // components; several types by the last multiple transition. (One type added to an entity
  // held already goes through addRaw.)
  std::uint32_t target = NONE;
  if (types.size() == 1) {
    const auto t = static_cast<std::size_t>(types[0].id);
    if (ref == nullptr && t < root_edges_.size()) target = root_edges_[t];
  } else if (ref == nullptr && last_multi_.from == NONE && last_multi_.count == types.size()) {
    target = last_multi_.to;
    for (ComponentTypeId type : types) {  // the types are distinct: membership is equality
      bool found = false;
      for (std::uint32_t k = 0; k < last_multi_.count; ++k) {
        found = found || last_multi_.types[k] == type.id;
      }
      if (!found) target = NONE;
    }
  }
  if (target == NONE) return rowWithSlowly(entity, ref, types);
  if (ref == nullptr && !index_.reserveFor(entity.id)) {
    return std::unexpected(Error::OutOfMemory);  // only spare capacity may have changed
  }
  if (!tables_[target].reserveRows(1)) return std::unexpected(Error::OutOfMemory);
  return moveRow(entity, ref, target);
}

// The general way: the types the entity lacks, ascending, then the target by recorded edges
// through the tables in between, by the last multiple transition, or by its full set of types.
std::expected<detail::RowRef, Error> ComponentStore::rowWithSlowly(
    EntityId entity, detail::RowRef* ref, std::span<const ComponentTypeId> types) {
  const std::uint32_t from = ref != nullptr ? ref->table : NONE;
  const detail::Table* src = ref != nullptr ? &tables_[from] : nullptr;
  const std::size_t have = src != nullptr ? src->columns.size() : 0;
  // Room for the missing types (at most types.size()) and then the full set.
  const std::size_t room = have + 2 * types.size();
  std::array<ComponentTypeId, 16> small{};
  std::pmr::vector<ComponentTypeId> large(types_.get_allocator());
  std::span<ComponentTypeId> list;
  if (room <= small.size()) {
    list = std::span<ComponentTypeId>(small.data(), room);
  } else {
    try {
      large.resize(room);
    } catch (const std::bad_alloc&) {
      return std::unexpected(Error::OutOfMemory);
    }
    list = large;
  }
  std::size_t n = 0;
  for (ComponentTypeId type : types) {
    if (src != nullptr && src->columnOf(type) >= 0) continue;
    // Insertion into the sorted prefix: a set gives few types.
    std::size_t at = n++;
    for (; at > 0 && list[at - 1].id > type.id; --at) list[at] = list[at - 1];
    list[at] = type;
  }
  if (n == 0) return *ref;  // every type is there: no move
  std::uint32_t target = from;
  for (std::size_t k = 0; k < n; ++k) {
    const auto t = static_cast<std::size_t>(list[k].id);
    if (target != NONE) {
      target = tables_[target].edge(list[k]);
    } else if (k == 0 && t < root_edges_.size()) {
      target = root_edges_[t];
    }
    if (target == NONE) break;
  }
  if (target == NONE && n > 1 && n <= last_multi_.types.size() && last_multi_.from == from &&
      last_multi_.count == n) {
    bool same = true;
    for (std::size_t k = 0; k < n && same; ++k) same = last_multi_.types[k] == list[k].id;
    if (same) target = last_multi_.to;
  }
  if (ref == nullptr && !index_.reserveFor(entity.id)) {
    return std::unexpected(Error::OutOfMemory);  // only spare capacity may have changed
  }
  bool created = false;
  const std::uint32_t saved_next_id = registry_.next_id;
  if (target == NONE) {
    // The full set of types, ascending: the missing ones merged with the old ones.
    const std::span<ComponentTypeId> full = list.subspan(n, have + n);
    std::size_t i = 0, j = 0, m = 0;
    while (i < n || j < have) {
      if (j == have || (i < n && list[i].id < src->columns[j].type.id)) {
        full[m++] = list[i++];
      } else {
        full[m++] = src->columns[j++].type;
      }
    }
    const std::expected<std::uint32_t, Error> found = tableOf(full, created);
    if (!found) return std::unexpected(found.error());
    target = *found;
  }
  if (!tables_[target].reserveRows(1)) {
    if (created) dropLastTable(saved_next_id);
    return std::unexpected(Error::OutOfMemory);
  }
  // Record the transition, now that the move cannot fail: a single type as an edge both ways
  // (its slot exists unless the type came after the table), several as the last multiple one.
  if (n == 1) {
    const auto t = static_cast<std::size_t>(list[0].id);
    if (ref == nullptr) {
      if (t < root_edges_.size()) root_edges_[t] = target;
    } else if (t < tables_[from].edges.size()) {
      tables_[from].edges[t] = target;
      if (t < tables_[target].edges.size()) tables_[target].edges[t] = from;
    }
  } else if (n <= last_multi_.types.size()) {
    last_multi_.from = from;
    last_multi_.to = target;
    last_multi_.count = static_cast<std::uint32_t>(n);
    for (std::size_t k = 0; k < n; ++k) last_multi_.types[k] = list[k].id;
  }
  return moveRow(entity, ref, target);
}

namespace {

// Copies a cell of `size` bytes to `out` and then, when `fill`, the cell at `last` into it: one
// dispatch on the size for both copies.
[[gnu::always_inline]] inline void moveCell(std::byte* out, std::byte* cell, const std::byte* last,
                                            std::uint32_t size, bool fill) noexcept {
  detail::withSize(size, [&](auto n) {
    std::memcpy(out, cell, n);
    if (fill) std::memcpy(cell, last, n);
  });
}

// Copies row `src_row` of `count` columns from `from` to row `dst_row` of `to`, each source cell
// then filled by row `last_row`'s when `fill`.
[[gnu::always_inline]] inline void moveColumns(const detail::Column* from, const detail::Column* to,
                                               std::size_t count, std::size_t src_row,
                                               std::size_t dst_row, std::size_t last_row,
                                               bool fill) noexcept {
  for (std::size_t k = 0; k < count; ++k) {
    const std::uint32_t size = from[k].size;
    std::byte* const data = from[k].data;
    moveCell(to[k].data + dst_row * size, data + src_row * size, data + last_row * size, size,
             fill);
  }
}

}  // namespace

template <bool Adding>
[[gnu::always_inline]] inline std::uint32_t ComponentStore::moveAlongEdge(EntityId entity,
                                                                          detail::RowRef& ref,
                                                                          std::uint32_t from_table,
                                                                          std::uint32_t target,
                                                                          std::size_t at) noexcept {
  detail::Table& dst = tables_[target];
  const std::uint32_t old_row = ref.row;
  detail::Table& src = tables_[from_table];
  const std::uint32_t row = dst.rows;
  const std::uint32_t last = src.rows - 1;
  const bool fill = old_row != last;
  // The bookkeeping first, so that little stays live across the copies (every value kept in a
  // register is a store and a load less while the row's cache lines are on their way).
  dst.entities[row] = entity.id;
  dst.rows = row + 1;
  src.rows = last;
  syncCount(target);
  syncCount(from_table);
  // `ref` stays good: the index does not change shape while an entity moves.
  ref = detail::RowRef{target, row};
  if (fill) {
    const std::uint64_t moved = src.entities[last];
    src.entities[old_row] = moved;
    index_.entryOf(moved).row = old_row;
  }
  // Both column lists ascend by type, so they agree up to column `at`: the added type's place
  // in the target, or the removed type's in the source (whose cell is only filled).
  const detail::Column* const from = src.columns.data();
  const detail::Column* const to = dst.columns.data();
  const std::size_t n = src.columns.size();
  const std::size_t src_row = old_row;
  const std::size_t dst_row = row;
  const std::size_t last_row = last;
  moveColumns(from, to, at, src_row, dst_row, last_row, fill);
  if constexpr (Adding) {
    moveColumns(from + at, to + at + 1, n - at, src_row, dst_row, last_row, fill);
  } else {
    const detail::Column& removed = from[at];
    std::byte* const cell = removed.data + src_row * removed.size;
    if (fill) detail::copyComponent(cell, removed.data + last_row * removed.size, removed.size);
    moveColumns(from + at + 1, to + at, n - at - 1, src_row, dst_row, last_row, fill);
  }
  return row;
}

std::expected<std::byte*, Error> ComponentStore::addRaw(EntityId entity, detail::RowRef& ref,
                                                        std::uint32_t from, ComponentTypeId type) {
  // The quick way: a recorded edge.
  if (const std::uint32_t target = tables_[from].edge(type); target != NONE) {
    if (!tables_[target].reserveRows(1)) return std::unexpected(Error::OutOfMemory);
    const detail::Table& dst = tables_[target];
    const auto gap = static_cast<std::size_t>(dst.columnOf(type));
    return dst.at(gap, moveAlongEdge<true>(entity, ref, from, target, gap));
  }
  const std::expected<detail::RowRef, Error> at =
      rowWithSlowly(entity, &ref, std::span<const ComponentTypeId>(&type, 1));
  if (!at) return std::unexpected(at.error());
  const detail::Table& dst = tables_[at->table];
  return dst.at(static_cast<std::size_t>(dst.columnOf(type)), at->row);
}

std::expected<void, Error> ComponentStore::removeRaw(EntityId entity, ComponentTypeId type) {
  detail::RowRef* ref = index_.find(entity.id);
  if (!entity.isValid() || ref == nullptr) return std::unexpected(Error::UnknownEntity);
  const std::uint32_t from = likelyTable(*ref, guesses_[type.id].remove);
  const detail::Table& src = tables_[from];
  const std::ptrdiff_t at = src.columnOf(type);
  if (at < 0) return std::unexpected(Error::MissingComponent);
  // The quick way: a recorded edge. (An entity left with no type leaves the store instead:
  // that is the slow way's to do.)
  if (const std::uint32_t target = src.edge(type); target != NONE && src.columns.size() > 1) {
    if (!tables_[target].reserveRows(1)) return std::unexpected(Error::OutOfMemory);
    (void)moveAlongEdge<false>(entity, *ref, from, target, static_cast<std::size_t>(at));
    return {};
  }
  return removeSlowly(entity, *ref, type, static_cast<std::size_t>(at));
}

// The first removal of `type` from the entity's table (or of its only type): the target found
// by its full set of types, or made, and the edge recorded both ways.
std::expected<void, Error> ComponentStore::removeSlowly(EntityId entity, detail::RowRef& ref,
                                                        ComponentTypeId type, std::size_t at) {
  const std::uint32_t from = ref.table;
  if (tables_[from].columns.size() == 1) return erase(entity);
  const std::size_t old_count = tables_[from].columns.size();
  std::array<ComponentTypeId, 16> small{};
  std::pmr::vector<ComponentTypeId> large(types_.get_allocator());
  std::span<ComponentTypeId> types;
  if (old_count - 1 <= small.size()) {
    types = std::span<ComponentTypeId>(small.data(), old_count - 1);
  } else {
    try {
      large.resize(old_count - 1);
    } catch (const std::bad_alloc&) {
      return std::unexpected(Error::OutOfMemory);
    }
    types = large;
  }
  std::size_t n = 0;
  for (std::size_t c = 0; c < old_count; ++c) {
    if (c != at) types[n++] = tables_[from].columns[c].type;
  }
  bool created = false;
  const std::uint32_t saved_next_id = registry_.next_id;
  const std::expected<std::uint32_t, Error> found = tableOf(types, created);
  if (!found) return std::unexpected(found.error());
  const std::uint32_t target = *found;
  if (!tables_[target].reserveRows(1)) {
    if (created) dropLastTable(saved_next_id);
    return std::unexpected(Error::OutOfMemory);
  }
  const auto t = static_cast<std::size_t>(type.id);
  if (t < tables_[from].edges.size()) tables_[from].edges[t] = target;
  if (t < tables_[target].edges.size()) tables_[target].edges[t] = from;
  (void)moveAlongEdge<false>(entity, ref, from, target, at);
  return {};
}

detail::RowRef ComponentStore::moveRow(EntityId entity, detail::RowRef* from,
                                       std::uint32_t target) noexcept {
  detail::Table& dst = tables_[target];
  const std::uint32_t row = dst.rows++;
  dst.entities[row] = entity.id;
  syncCount(target);
  if (from == nullptr) {
    index_.insert(entity.id, detail::RowRef{target, row});
    return detail::RowRef{target, row};
  }
  // One pass over the old row's columns: each goes to its column in the new table (unless the
  // type was removed) and is then filled by the old table's last row.
  const detail::RowRef old = *from;
  detail::Table& src = tables_[old.table];
  const std::uint32_t last = src.rows - 1;
  // The entry of the entity whose row fills the hole: only written, so its likely cache miss
  // overlaps what follows.
  const std::uint64_t moved = src.entities[last];
  detail::RowRef* moved_ref = old.row != last ? &index_.entryOf(moved) : nullptr;
  for (const detail::Column& col : src.columns) {
    std::byte* cell = col.data + std::size_t{old.row} * col.size;
    if (const std::ptrdiff_t c = dst.columnOf(col.type); c >= 0) {
      detail::copyComponent(dst.at(static_cast<std::size_t>(c), row), cell, col.size);
    }
    if (old.row != last) {
      detail::copyComponent(cell, col.data + std::size_t{last} * col.size, col.size);
    }
  }
  src.rows = last;
  // `from` stays good: the index does not change shape while an entity moves.
  *from = detail::RowRef{target, row};
  if (moved_ref != nullptr) {
    src.entities[old.row] = moved;
    moved_ref->row = old.row;
  }
  syncCount(old.table);
  return detail::RowRef{target, row};
}

std::expected<void, Error> ComponentStore::reserveRaw(std::span<ComponentTypeId> types,
                                                      std::size_t rows) {
  std::sort(types.begin(), types.end(),
            [](ComponentTypeId a, ComponentTypeId b) { return a.id < b.id; });
  if (!index_.reserveDense(static_cast<std::uint64_t>(index_.size()) + rows + 1)) {
    return std::unexpected(Error::OutOfMemory);
  }
  bool created = false;
  const std::uint32_t saved_next_id = registry_.next_id;
  const std::expected<std::uint32_t, Error> found = tableOf(types, created);
  if (!found) return std::unexpected(found.error());
  detail::Table& table = tables_[*found];
  if (rows > table.rows && !table.reserveRows(rows - table.rows)) {
    if (created) dropLastTable(saved_next_id);
    return std::unexpected(Error::OutOfMemory);
  }
  return {};
}

std::expected<void, Error> ComponentStore::reserve(std::size_t entities) noexcept {
  if (!index_.reserveDense(static_cast<std::uint64_t>(index_.size()) + entities + 1)) {
    return std::unexpected(Error::OutOfMemory);
  }
  return {};
}

std::expected<void, Error> ComponentStore::erase(EntityId entity) noexcept {
  const detail::RowRef* ref = index_.find(entity.id);
  if (!entity.isValid() || ref == nullptr) return std::unexpected(Error::UnknownEntity);
  const detail::RowRef old = *ref;
  const std::uint64_t moved = tables_[old.table].swapRemove(old.row);
  if (moved != 0) index_.entryOf(moved).row = old.row;
  syncCount(old.table);
  index_.erase(entity.id);
  return {};
}

std::expected<QueryResult, Error> ComponentStore::query(
    const QueryFilter& filter, std::pmr::memory_resource* allocator) const {
  return registry_.query(allocator, filter);
}

std::expected<void, Error> ComponentStore::shrinkToFit() noexcept {
  dropSpare();
  std::pmr::memory_resource* r = tables_.get_allocator().resource();
  // One list of new buffers per table (empty for a table that already fits), then the index.
  std::pmr::vector<std::pmr::vector<std::byte*>> fresh(r);
  std::pmr::vector<detail::RowRef> dense(r);
  bool ok = true;
  try {
    fresh.reserve(tables_.size());
  } catch (const std::bad_alloc&) {
    ok = false;
  }
  for (std::size_t i = 0; ok && i < tables_.size(); ++i) {
    fresh.emplace_back();  // within the reserved capacity; on the same resource
    const detail::Table& t = tables_[i];
    if (t.capacity != t.rows) ok = t.allocateRows(t.rows, fresh.back());
  }
  ok = ok && index_.fittedDense(dense);
  if (!ok) {
    for (std::size_t i = 0; i < fresh.size(); ++i) tables_[i].freeRows(fresh[i], tables_[i].rows);
    return std::unexpected(Error::OutOfMemory);
  }
  for (std::size_t i = 0; i < tables_.size(); ++i) {
    if (!fresh[i].empty()) tables_[i].adoptRows(fresh[i], tables_[i].rows);
  }
  index_.adoptDense(dense);
  return {};
}

std::size_t ComponentStore::storageBytes() const noexcept {
  std::size_t bytes = index_.capacityBytes() + spare_index_.capacityBytes() +
                      spare_rows_.capacity() * sizeof(detail::EntityIndex::Entry) +
                      (tables_.capacity() + spare_tables_.capacity()) * sizeof(detail::Table) +
                      types_.capacity() * sizeof(RegisteredType) +
                      (id_of_slot_.capacity() + root_edges_.capacity()) * sizeof(std::uint32_t) +
                      guesses_.capacity() * sizeof(TableGuess) +
                      registry_.archetypes.capacity() * sizeof(Archetype);
  for (const auto* list : {&tables_, &spare_tables_}) {
    for (const detail::Table& t : *list) {
      std::size_t row = sizeof(std::uint64_t);
      for (const detail::Column& c : t.columns) row += c.size;
      bytes += row * t.capacity + t.columns.capacity() * sizeof(detail::Column) +
               (t.column_of.capacity() + t.edges.capacity()) * sizeof(std::uint32_t);
    }
  }
  for (const Archetype& a : registry_.archetypes) {
    bytes += a.component_types.capacity() * sizeof(ComponentTypeId);
  }
  return bytes;
}

}  // namespace nemra_ecs
