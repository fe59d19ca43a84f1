// EntityIndex: where each entity's row is, by entity id, in constant expected time. Private to
// ComponentStore; nothing the store iterates over depends on it, so its layout never affects
// an order.
#include <nemra/config.hpp>

#if NEMRA_CXX23 && !defined(NEMRA_ECS_ENTITY_INDEX_HPP)
#define NEMRA_ECS_ENTITY_INDEX_HPP

#include <cstddef>
#include <cstdint>
#include <memory_resource>
#include <span>
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
// 2 × (entries + 1) + DENSE_SLACK slots, and then at least doubles (within that bound), so a run
// of small ids grows it a logarithmic number of times. A farther id goes to an open-addressing
// table keyed by the id (linear probing, at most half full), so a huge id never makes a huge
// allocation. The table's hash mixes the id with a seed drawn afresh at every rebuild from a
// process-wide random source: no fixed set of ids can be chosen to collide, whatever their
// pattern. The seed changes where entries sit in the table and nothing else: lookups give the
// same answers, and nothing the store iterates over or reports depends on the table's layout.
// When the dense array grows past ids kept in the table, they move into it; the table's least id
// is tracked, so a growth that reaches none of them skips the scan.
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
        sparse_count_(std::exchange(other.sparse_count_, 0)),
        sparse_min_(std::exchange(other.sparse_min_, NO_ID)),
        seed_(std::exchange(other.seed_, 0)),
        shift_(std::exchange(other.shift_, 64)) {}
  // Both indexes must be on the same resource (the store's), so the storage changes hands.
  EntityIndex& operator=(EntityIndex&& other) noexcept {
    swap(other);
    other.release();
    return *this;
  }
  EntityIndex(const EntityIndex&) = delete;
  EntityIndex& operator=(const EntityIndex&) = delete;
  ~EntityIndex() = default;

  [[nodiscard]] RowRef* find(std::uint64_t id) noexcept {
    return const_cast<RowRef*>(std::as_const(*this).find(id));
  }
  [[nodiscard]] const RowRef* find(std::uint64_t id) const noexcept {
    if (id < dense_.size()) {
      const RowRef& r = dense_[static_cast<std::size_t>(id)];
      return r.table == NONE ? nullptr : &r;
    }
    return sparse_count_ == 0 ? nullptr : findSparse(id);
  }

  // Makes room so that insert(id, ...) cannot fail. False when out of memory; the entries are
  // then as they were (only spare capacity may have changed).
  [[nodiscard]] bool reserveFor(std::uint64_t id) noexcept {
    return id < dense_.size() || reserveBeyondDense(id);
  }
  // Makes room for ids up to `top` in the dense array's capacity, so that a run of ids handed
  // out in order does not reallocate it. False when out of memory; nothing else changes.
  [[nodiscard]] bool reserveDense(std::uint64_t top) noexcept;
  // Adds an id that is not present, after reserveFor(id) succeeded.
  void insert(std::uint64_t id, RowRef ref) noexcept {
    if (id < dense_.size()) {
      dense_[static_cast<std::size_t>(id)] = ref;
    } else {
      sparseInsert(id, ref);
    }
    ++count_;
  }
  // Removes an id that is present.
  void erase(std::uint64_t id) noexcept;

  // Exchanges the contents and storage of two indexes on the same resource.
  void swap(EntityIndex& other) noexcept {
    dense_.swap(other.dense_);
    sparse_.swap(other.sparse_);
    std::swap(count_, other.count_);
    std::swap(sparse_count_, other.sparse_count_);
    std::swap(sparse_min_, other.sparse_min_);
    std::swap(seed_, other.seed_);
    std::swap(shift_, other.shift_);
  }

  // An id and its row, for assign.
  struct Entry {
    std::uint64_t id;
    RowRef ref;
  };
  enum class Assigned : std::uint8_t { ok, duplicate, outOfMemory };
  // Replaces the contents with `entries` (non-zero ids) at once, as a snapshot load does, in the
  // storage the index holds where it is large enough: ids
  // below 2 × (entries + 1) + DENSE_SLACK go to a dense array exactly as long as the largest of
  // them needs, the others to the table, with nothing allocated beyond the two. `entries` is
  // reordered. On duplicate (an id given twice) or outOfMemory the index is left empty.
  [[nodiscard]] Assigned assign(std::span<Entry> entries) noexcept;

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

  static constexpr std::uint64_t NO_ID = ~0ULL;

  [[nodiscard]] const RowRef* findSparse(std::uint64_t id) const noexcept;
  [[nodiscard]] bool reserveBeyondDense(std::uint64_t id) noexcept;
  [[nodiscard]] std::uint64_t denseLimit() const noexcept;
  [[nodiscard]] std::size_t home(std::uint64_t id) const noexcept;
  [[nodiscard]] bool growSparse() noexcept;
  void sparseInsert(std::uint64_t id, RowRef ref) noexcept;
  void sparseErase(std::size_t slot) noexcept;

  std::pmr::vector<RowRef> dense_;
  std::pmr::vector<Slot> sparse_;  // size 0 or a power of two
  std::size_t count_ = 0;
  std::size_t sparse_count_ = 0;
  // At most the least id in the table (NO_ID when it never held one since its last rebuild).
  std::uint64_t sparse_min_ = NO_ID;
  std::uint64_t seed_ = 0;
  int shift_ = 64;  // 64 − log2(table size)
};

}  // namespace nemra_ecs::detail

#endif
