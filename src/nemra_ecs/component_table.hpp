// Table: the rows of one archetype in a ComponentStore, a column per component type (ascending
// type id) and a column of entity ids, each column one contiguous buffer. Private to the store.
#include <nemra/config.hpp>

#if NEMRA_CXX23 && !defined(NEMRA_ECS_COMPONENT_TABLE_HPP)
#define NEMRA_ECS_COMPONENT_TABLE_HPP

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory_resource>
#include <type_traits>
#include <vector>

#include <nemra_ecs/ids.hpp>

namespace nemra_ecs::detail {

struct Column {
  ComponentTypeId type;
  std::uint32_t size;
  std::uint32_t alignment;
  std::byte* data;
};

// Calls `f` with the component size: as a std::integral_constant for the common sizes, so that
// the copies `f` makes become a few moves, and as the run-time value for the rest.
template <class F>
[[gnu::always_inline]] inline void withSize(std::uint32_t size, F&& f) noexcept {
  switch (size) {
    case 0:
      return;
    case 1:
      return f(std::integral_constant<std::size_t, 1>{});
    case 2:
      return f(std::integral_constant<std::size_t, 2>{});
    case 4:
      return f(std::integral_constant<std::size_t, 4>{});
    case 8:
      return f(std::integral_constant<std::size_t, 8>{});
    case 12:
      return f(std::integral_constant<std::size_t, 12>{});
    case 16:
      return f(std::integral_constant<std::size_t, 16>{});
    case 24:
      return f(std::integral_constant<std::size_t, 24>{});
    case 32:
      return f(std::integral_constant<std::size_t, 32>{});
    default:
      return f(std::size_t{size});
  }
}

// Copies one component of `size` bytes.
inline void copyComponent(std::byte* to, const std::byte* from, std::uint32_t size) noexcept {
  withSize(size, [&](auto n) { std::memcpy(to, from, n); });
}

class NEMRA_API Table {
 public:
  Table(std::pmr::memory_resource* resource, ArchetypeId archetype_id) noexcept
      : archetype(archetype_id), columns(resource), column_of(resource), edges(resource) {}
  Table(Table&& other) noexcept;
  Table& operator=(Table&&) = delete;
  Table(const Table&) = delete;
  Table& operator=(const Table&) = delete;
  ~Table() { release(); }

  static constexpr std::uint32_t NONE = 0xFFFFFFFFU;

  // The column of `type`, or −1. One load: column_of is indexed by type id.
  [[nodiscard]] std::ptrdiff_t columnOf(ComponentTypeId type) const noexcept {
    if (type.id >= column_of.size()) return -1;
    const std::uint32_t c = column_of[static_cast<std::size_t>(type.id)];
    return c == NONE ? -1 : static_cast<std::ptrdiff_t>(c);
  }

  // Builds column_of from `columns` and gives `edges` one empty slot per type id up to
  // `type_count`. False when out of memory; both are then empty.
  [[nodiscard]] bool indexColumns(std::size_t type_count) noexcept;

  // The table that holds this table's types with `type` added (when absent here) or taken away
  // (when present), as a position in the store, or NONE while not yet looked up.
  [[nodiscard]] std::uint32_t edge(ComponentTypeId type) const noexcept {
    return type.id < edges.size() ? edges[static_cast<std::size_t>(type.id)] : NONE;
  }

  // Makes room for `extra` more rows. False when out of memory (or past 2^32 − 2 rows); the
  // table is then as it was. Every buffer of the new size is allocated before any is replaced.
  [[nodiscard]] bool reserveRows(std::uint64_t extra) noexcept {
    return rows + extra <= capacity || growRows(extra);
  }
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
  // Type id → column, NONE where the type is absent; as long as the largest id in the table + 1.
  std::pmr::vector<std::uint32_t> column_of;
  // Type id → the table reached by adding or removing that type (see edge()); sized when the
  // table is made, so recording an edge never allocates. Types registered later have no slot
  // and are found by comparing type lists.
  std::pmr::vector<std::uint32_t> edges;
  std::uint64_t* entities = nullptr;
  std::uint32_t rows = 0;
  std::uint32_t capacity = 0;

 private:
  [[nodiscard]] bool growRows(std::uint64_t extra) noexcept;
};

}  // namespace nemra_ecs::detail

#endif
