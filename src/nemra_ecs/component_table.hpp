// Table: the rows of one archetype in a ComponentStore, a column per component type (ascending
// type id) and a column of entity ids, each column one contiguous buffer. Private to the store.
#include <nemra/config.hpp>

#if NEMRA_CXX23 && !defined(NEMRA_ECS_COMPONENT_TABLE_HPP)
#define NEMRA_ECS_COMPONENT_TABLE_HPP

#include <cstddef>
#include <cstdint>
#include <memory_resource>
#include <vector>

#include <nemra_ecs/ids.hpp>

namespace nemra_ecs::detail {

struct Column {
  ComponentTypeId type;
  std::uint32_t size;
  std::uint32_t alignment;
  std::byte* data;
};

class NEMRA_API Table {
 public:
  Table(std::pmr::memory_resource* resource, ArchetypeId archetype_id) noexcept
      : archetype(archetype_id), columns(resource) {}
  Table(Table&& other) noexcept;
  Table& operator=(Table&&) = delete;
  Table(const Table&) = delete;
  Table& operator=(const Table&) = delete;
  ~Table() { release(); }

  // The column of `type`, or −1.
  [[nodiscard]] std::ptrdiff_t columnOf(ComponentTypeId type) const noexcept {
    for (std::size_t c = 0; c < columns.size(); ++c) {
      if (columns[c].type == type) return static_cast<std::ptrdiff_t>(c);
    }
    return -1;
  }

  // Makes room for `extra` more rows. False when out of memory (or past 2^32 − 2 rows); the
  // table is then as it was. Every buffer of the new size is allocated before any is replaced.
  [[nodiscard]] bool reserveRows(std::uint64_t extra) noexcept;
  // Buffers for `n` rows of every column, the entity ids last (null when n is 0), allocated
  // before anything changes so that adoptRows cannot fail. False when out of memory; `fresh` is
  // then empty.
  [[nodiscard]] bool allocateRows(std::uint64_t n,
                                  std::pmr::vector<std::byte*>& fresh) const noexcept;
  // Gives back buffers from allocateRows(n) that are not adopted.
  void freeRows(std::pmr::vector<std::byte*>& fresh, std::uint64_t n) const noexcept;
  // Moves the rows into buffers from allocateRows(n), n >= rows, and frees the old ones.
  void adoptRows(std::pmr::vector<std::byte*>& fresh, std::uint64_t n) noexcept;
  // Moves the last row into `row` (unless it is the last) and drops the last row. Returns the id
  // of the entity whose row moved, or 0.
  std::uint64_t swapRemove(std::uint32_t row) noexcept;
  void release() noexcept;

  [[nodiscard]] std::byte* at(std::size_t column, std::uint32_t row) const noexcept {
    return columns[column].data + static_cast<std::size_t>(row) * columns[column].size;
  }

  ArchetypeId archetype;
  std::pmr::vector<Column> columns;
  std::uint64_t* entities = nullptr;
  std::uint32_t rows = 0;
  std::uint32_t capacity = 0;
};

}  // namespace nemra_ecs::detail

#endif
