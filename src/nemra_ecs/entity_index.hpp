// EntityIndex: where each entity's row is, by entity id, in constant expected time. Private to
// ComponentStore; nothing the store iterates over depends on it, so its layout never affects
// an order.
#include <nemra/config.hpp>

#if NEMRA_CXX23 && !defined(NEMRA_ECS_ENTITY_INDEX_HPP)
#define NEMRA_ECS_ENTITY_INDEX_HPP

#include <cstddef>
#include <cstdint>
#include <memory_resource>
#include <utility>
#include <vector>

namespace nemra_ecs::detail {

// A row of a table: the table's position in the store and the row within it.
struct RowRef {
  std::uint32_t table;
  std::uint32_t row;
};

// Ids handed out by a World are 1, 2, 3 ..., so most ids live in a dense array indexed by the id
// (8 bytes a slot). The dense array grows to cover an id only while it stays within
// 2 × (entries + 1) + DENSE_SLACK slots; a farther id goes to an open-addressing table keyed by
// the id (hash: id × 0x9E3779B97F4A7C15, top bits; linear probing; at most half full), so a huge
// id never makes a huge allocation. When the dense array grows past ids kept in the table, they
// move into it.
class NEMRA_API EntityIndex {
 public:
  static constexpr std::uint32_t NONE = 0xFFFFFFFFU;
  static constexpr std::uint64_t DENSE_SLACK = 1024;

  explicit EntityIndex(std::pmr::memory_resource* resource) noexcept
      : dense_(resource), sparse_(resource) {}
  // A moved-from index is empty.
  EntityIndex(EntityIndex&& other) noexcept
      : dense_(std::move(other.dense_)),
        sparse_(std::move(other.sparse_)),
        count_(std::exchange(other.count_, 0)),
        sparse_count_(std::exchange(other.sparse_count_, 0)) {}
  // Both indexes must be on the same resource (the store's), so the storage changes hands.
  EntityIndex& operator=(EntityIndex&& other) noexcept {
    dense_.swap(other.dense_);
    sparse_.swap(other.sparse_);
    std::swap(count_, other.count_);
    std::swap(sparse_count_, other.sparse_count_);
    other.release();
    return *this;
  }
  EntityIndex(const EntityIndex&) = delete;
  EntityIndex& operator=(const EntityIndex&) = delete;
  ~EntityIndex() = default;

  [[nodiscard]] RowRef* find(std::uint64_t id) noexcept;
  [[nodiscard]] const RowRef* find(std::uint64_t id) const noexcept;

  // Makes room so that insert(id, ...) cannot fail. False when out of memory; the entries are
  // then as they were (only spare capacity may have changed).
  [[nodiscard]] bool reserveFor(std::uint64_t id) noexcept;
  // Adds an id that is not present, after reserveFor(id) succeeded.
  void insert(std::uint64_t id, RowRef ref) noexcept;
  // Removes an id that is present.
  void erase(std::uint64_t id) noexcept;

  // A copy of the dense array without its trailing empty slots and spare capacity, made before
  // anything changes; adoptDense then takes it without failing. False when out of memory.
  [[nodiscard]] bool fittedDense(std::pmr::vector<RowRef>& out) const noexcept;
  void adoptDense(std::pmr::vector<RowRef>& fitted) noexcept { dense_.swap(fitted); }

  [[nodiscard]] std::size_t size() const noexcept { return count_; }
  // Bytes held, for the memory figures.
  [[nodiscard]] std::size_t capacityBytes() const noexcept {
    return dense_.capacity() * sizeof(RowRef) + sparse_.capacity() * sizeof(Slot);
  }
  void release() noexcept;

 private:
  struct Slot {
    std::uint64_t id;  // 0: empty
    RowRef ref;
  };

  [[nodiscard]] bool goesDense(std::uint64_t id) const noexcept;
  [[nodiscard]] std::size_t home(std::uint64_t id) const noexcept;
  void sparseInsert(std::uint64_t id, RowRef ref) noexcept;
  void sparseErase(std::size_t slot) noexcept;

  std::pmr::vector<RowRef> dense_;
  std::pmr::vector<Slot> sparse_;  // size 0 or a power of two
  std::size_t count_ = 0;
  std::size_t sparse_count_ = 0;
};

}  // namespace nemra_ecs::detail

#endif
