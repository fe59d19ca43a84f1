#include <algorithm>
#include <cstring>
#include <limits>
#include <new>
#include <utility>

#include <nemra_ecs/component_store.hpp>
#include <nemra_ecs/owning.hpp>

namespace nemra_ecs {

ComponentStore::ComponentStore(std::pmr::memory_resource* allocator) noexcept
    : types_(detail::resourceOrDefault(allocator)),
      registry_(ArchetypeRegistry::init(detail::resourceOrDefault(allocator))),
      tables_(detail::resourceOrDefault(allocator)),
      index_(detail::resourceOrDefault(allocator)) {}

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
  detail::releaseStorage(types_);
}

std::expected<ComponentTypeId, Error> ComponentStore::registerRaw(const void* key,
                                                                  std::string_view name,
                                                                  std::size_t size,
                                                                  std::size_t alignment) {
  for (const RegisteredType& t : types_) {
    if (t.key == key || t.name == name) return std::unexpected(Error::DuplicateType);
  }
  const ComponentTypeId id = ComponentTypeId::fromId(types_.size() + 1);
  try {
    types_.push_back(RegisteredType{id, name, static_cast<std::uint32_t>(size),
                                    static_cast<std::uint32_t>(alignment), key});
  } catch (const std::bad_alloc&) {
    return std::unexpected(Error::OutOfMemory);
  }
  return id;
}

std::optional<ComponentTypeId> ComponentStore::typeIdOfKey(const void* key) const noexcept {
  for (const RegisteredType& t : types_) {
    if (t.key == key) return t.id;
  }
  return std::nullopt;
}

void* ComponentStore::getRaw(EntityId entity, std::optional<ComponentTypeId> type) const noexcept {
  if (!type) return nullptr;
  const detail::RowRef* ref = index_.find(entity.id);
  if (ref == nullptr) return nullptr;
  const detail::Table& table = tables_[ref->table];
  const std::ptrdiff_t c = table.columnOf(*type);
  if (c < 0) return nullptr;
  return table.at(static_cast<std::size_t>(c), ref->row);
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

std::expected<void, Error> ComponentStore::setRaw(EntityId entity, ComponentTypeId type,
                                                  const void* value) {
  if (!entity.isValid()) return std::unexpected(Error::UnknownEntity);
  const detail::RowRef* ref = index_.find(entity.id);
  const RegisteredType& info = types_[type.id - 1];
  if (ref != nullptr) {
    const detail::Table& table = tables_[ref->table];
    const std::ptrdiff_t c = table.columnOf(type);
    if (c >= 0) {
      std::memcpy(table.at(static_cast<std::size_t>(c), ref->row), value, info.size);
      return {};
    }
  }
  // The new set of types, ascending. Up to 16 types fit on the stack.
  const std::size_t old_count = ref != nullptr ? tables_[ref->table].columns.size() : 0;
  std::array<ComponentTypeId, 16> small{};
  std::pmr::vector<ComponentTypeId> large(types_.get_allocator());
  std::span<ComponentTypeId> types;
  if (old_count + 1 <= small.size()) {
    types = std::span<ComponentTypeId>(small.data(), old_count + 1);
  } else {
    try {
      large.resize(old_count + 1);
    } catch (const std::bad_alloc&) {
      return std::unexpected(Error::OutOfMemory);
    }
    types = large;
  }
  std::size_t n = 0;
  bool placed = false;
  for (std::size_t c = 0; c < old_count; ++c) {
    const ComponentTypeId t = tables_[ref->table].columns[c].type;
    if (!placed && type.id < t.id) {
      types[n++] = type;
      placed = true;
    }
    types[n++] = t;
  }
  if (!placed) types[n++] = type;
  return moveRow(entity, ref, types, type, value);
}

std::expected<void, Error> ComponentStore::removeRaw(EntityId entity, ComponentTypeId type) {
  const detail::RowRef* ref = index_.find(entity.id);
  if (!entity.isValid() || ref == nullptr) return std::unexpected(Error::UnknownEntity);
  const detail::Table& table = tables_[ref->table];
  const std::ptrdiff_t at = table.columnOf(type);
  if (at < 0) return std::unexpected(Error::MissingComponent);
  if (table.columns.size() == 1) return erase(entity);
  const std::size_t old_count = table.columns.size();
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
    if (c != static_cast<std::size_t>(at)) types[n++] = table.columns[c].type;
  }
  return moveRow(entity, ref, types, type, nullptr);
}

std::expected<void, Error> ComponentStore::moveRow(EntityId entity, const detail::RowRef* from,
                                                   std::span<const ComponentTypeId> types,
                                                   ComponentTypeId added, const void* value) {
  // Everything that can fail comes first: room in the index, the target table (created if
  // needed) and a free row in it. A failure undoes what this call created.
  if (from == nullptr && !index_.reserveFor(entity.id)) {
    return std::unexpected(Error::OutOfMemory);
  }
  std::ptrdiff_t found = findTable(types);
  const bool created = found < 0;
  const std::uint32_t saved_next_id = registry_.next_id;
  if (created) {
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
    const std::expected<ArchetypeId, Error> archetype = registry_.createArchetype(types);
    if (!archetype) {
      registry_.next_id = saved_next_id;
      return std::unexpected(archetype.error());
    }
    table.archetype = *archetype;
    tables_.push_back(std::move(table));  // within the reserved capacity: cannot throw
    found = static_cast<std::ptrdiff_t>(tables_.size() - 1);
  }
  const auto target = static_cast<std::uint32_t>(found);
  detail::Table& dst = tables_[target];
  if (!dst.reserveRows(1)) {
    if (created) {
      tables_.pop_back();
      registry_.archetypes.back().deinit();
      registry_.archetypes.pop_back();
      registry_.next_id = saved_next_id;
    }
    return std::unexpected(Error::OutOfMemory);
  }

  // From here on nothing fails.
  const std::uint32_t row = dst.rows++;
  dst.entities[row] = entity.id;
  for (std::size_t c = 0; c < dst.columns.size(); ++c) {
    const detail::Column& col = dst.columns[c];
    if (value != nullptr && col.type == added) {
      std::memcpy(dst.at(c, row), value, col.size);
    } else {
      const detail::Table& src = tables_[from->table];
      const auto s = static_cast<std::size_t>(src.columnOf(col.type));
      std::memcpy(dst.at(c, row), src.at(s, from->row), col.size);
    }
  }
  syncCount(target);
  if (from == nullptr) {
    index_.insert(entity.id, detail::RowRef{target, row});
    return {};
  }
  const detail::RowRef old = *from;
  const std::uint64_t moved = tables_[old.table].swapRemove(old.row);
  if (moved != 0) index_.find(moved)->row = old.row;
  syncCount(old.table);
  *index_.find(entity.id) = detail::RowRef{target, row};
  return {};
}

std::expected<void, Error> ComponentStore::erase(EntityId entity) noexcept {
  const detail::RowRef* ref = index_.find(entity.id);
  if (!entity.isValid() || ref == nullptr) return std::unexpected(Error::UnknownEntity);
  const detail::RowRef old = *ref;
  const std::uint64_t moved = tables_[old.table].swapRemove(old.row);
  if (moved != 0) index_.find(moved)->row = old.row;
  syncCount(old.table);
  index_.erase(entity.id);
  return {};
}

std::expected<QueryResult, Error> ComponentStore::query(
    const QueryFilter& filter, std::pmr::memory_resource* allocator) const {
  return registry_.query(allocator, filter);
}

std::expected<void, Error> ComponentStore::shrinkToFit() noexcept {
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
  std::size_t bytes = index_.capacityBytes() + tables_.capacity() * sizeof(detail::Table) +
                      types_.capacity() * sizeof(RegisteredType) +
                      registry_.archetypes.capacity() * sizeof(Archetype);
  for (const detail::Table& t : tables_) {
    std::size_t row = sizeof(std::uint64_t);
    for (const detail::Column& c : t.columns) row += c.size;
    bytes += row * t.capacity + t.columns.capacity() * sizeof(detail::Column);
  }
  for (const Archetype& a : registry_.archetypes) {
    bytes += a.component_types.capacity() * sizeof(ComponentTypeId);
  }
  return bytes;
}

}  // namespace nemra_ecs
