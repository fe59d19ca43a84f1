#include <cstring>
#include <new>
#include <utility>

#include <nemra_ecs/component_table.hpp>

namespace nemra_ecs::detail {

namespace {
constexpr std::uint64_t kMaxRows = 0xFFFFFFFEULL;

template <class T>
void releaseVector(std::pmr::vector<T>& v) noexcept {
  std::pmr::vector<T> none(v.get_allocator());
  v.swap(none);
}
}  // namespace

Table::Table(Table&& other) noexcept
    : archetype(other.archetype),
      columns(std::move(other.columns)),
      column_of(std::move(other.column_of)),
      edges(std::move(other.edges)),
      entities(std::exchange(other.entities, nullptr)),
      rows(std::exchange(other.rows, 0)),
      capacity(std::exchange(other.capacity, 0)) {}

bool Table::indexColumns(std::size_t type_count) noexcept {
  std::uint64_t top = 0;
  for (const Column& c : columns) top = c.type.id > top ? c.type.id : top;
  try {
    column_of.assign(static_cast<std::size_t>(top) + 1, NONE);
    edges.assign(type_count + 1, NONE);
  } catch (const std::bad_alloc&) {
    releaseVector(column_of);
    releaseVector(edges);
    return false;
  }
  for (std::size_t c = 0; c < columns.size(); ++c) {
    column_of[static_cast<std::size_t>(columns[c].type.id)] = static_cast<std::uint32_t>(c);
  }
  return true;
}

bool Table::growRows(std::uint64_t extra) noexcept {
  const std::uint64_t need = rows + extra;
  if (need > kMaxRows) return false;
  std::uint64_t grown = capacity < 4 ? 4 : static_cast<std::uint64_t>(capacity) * 2;
  if (grown < need) grown = need;
  if (grown > kMaxRows) grown = kMaxRows;
  std::pmr::vector<std::byte*> fresh(columns.get_allocator().resource());
  if (!allocateRows(grown, fresh)) return false;
  adoptRows(fresh, grown);
  return true;
}

bool Table::allocateRows(std::uint64_t n, std::pmr::vector<std::byte*>& fresh) const noexcept {
  std::pmr::memory_resource* r = columns.get_allocator().resource();
  const auto count = static_cast<std::size_t>(n);
  try {
    fresh.reserve(columns.size() + 1);
    for (const Column& c : columns) {
      fresh.push_back(
          count == 0 ? nullptr : static_cast<std::byte*>(r->allocate(count * c.size, c.alignment)));
    }
    fresh.push_back(count == 0 ? nullptr
                               : static_cast<std::byte*>(r->allocate(count * sizeof(std::uint64_t),
                                                                     alignof(std::uint64_t))));
  } catch (const std::bad_alloc&) {
    freeRows(fresh, n);
    return false;
  }
  return true;
}

void Table::freeRows(std::pmr::vector<std::byte*>& fresh, std::uint64_t n) const noexcept {
  std::pmr::memory_resource* r = columns.get_allocator().resource();
  const auto count = static_cast<std::size_t>(n);
  for (std::size_t i = 0; i < fresh.size(); ++i) {
    if (fresh[i] == nullptr) continue;
    if (i < columns.size()) {
      r->deallocate(fresh[i], count * columns[i].size, columns[i].alignment);
    } else {
      r->deallocate(fresh[i], count * sizeof(std::uint64_t), alignof(std::uint64_t));
    }
  }
  fresh.clear();
}

void Table::adoptRows(std::pmr::vector<std::byte*>& fresh, std::uint64_t n) noexcept {
  std::pmr::memory_resource* r = columns.get_allocator().resource();
  for (std::size_t i = 0; i < columns.size(); ++i) {
    Column& c = columns[i];
    if (rows > 0) std::memcpy(fresh[i], c.data, static_cast<std::size_t>(rows) * c.size);
    if (c.data != nullptr) r->deallocate(c.data, std::size_t{capacity} * c.size, c.alignment);
    c.data = fresh[i];
  }
  std::byte* ids = fresh.back();
  if (rows > 0) std::memcpy(ids, entities, std::size_t{rows} * sizeof(std::uint64_t));
  if (entities != nullptr) {
    r->deallocate(entities, std::size_t{capacity} * sizeof(std::uint64_t), alignof(std::uint64_t));
  }
  entities = reinterpret_cast<std::uint64_t*>(ids);
  capacity = static_cast<std::uint32_t>(n);
  fresh.clear();
}

std::uint64_t Table::swapRemove(std::uint32_t row) noexcept {
  const std::uint32_t last = rows - 1;
  std::uint64_t moved = 0;
  if (row != last) {
    for (std::size_t c = 0; c < columns.size(); ++c) {
      copyComponent(at(c, row), at(c, last), columns[c].size);
    }
    entities[row] = entities[last];
    moved = entities[row];
  }
  rows = last;
  return moved;
}

void Table::release() noexcept {
  std::pmr::memory_resource* r = columns.get_allocator().resource();
  for (Column& c : columns) {
    if (c.data != nullptr) r->deallocate(c.data, std::size_t{capacity} * c.size, c.alignment);
    c.data = nullptr;
  }
  if (entities != nullptr) {
    r->deallocate(entities, std::size_t{capacity} * sizeof(std::uint64_t), alignof(std::uint64_t));
  }
  entities = nullptr;
  rows = 0;
  capacity = 0;
  releaseVector(columns);
  releaseVector(column_of);
  releaseVector(edges);
}

}  // namespace nemra_ecs::detail
