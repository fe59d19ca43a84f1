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

// Ids handed out by a World are 1, 2, 3 ..., so most ids live in a dense array indexed by the id (8
// bytes a slot). The dense array grows to cover an id only while it stays within 2 × (entries + 1)
// + DENSE_SLACK slots, and then at least doubles (within that bound), so a run of small ids grows
// it a logarithmic number of times. A farther id goes to a compact array of far entries (id and
// row, 16 bytes each), found through an open-addressing table keyed by the id (linear probing, at
// most half full) whose 4-byte slots hold an entry's position in that array and, in the bits the
// position leaves free, a tag from the id's hash, so that a probe past another id rarely reads the
// far array. A huge id never makes a huge allocation, and a far entry costs 24 to 32 bytes. The
// table's hash mixes the id with a seed drawn afresh at every rebuild from a process-wide random
// source: no fixed set of ids can be chosen to collide, whatever their pattern. The seed changes
// where positions sit in the table and nothing else: lookups give the same answers, and nothing the
// store iterates over or reports depends on the table's layout. When the dense array grows past ids
// kept far, they move into it; the least far id is tracked, so a growth that reaches none of them
// skips the scan.
class NEMRA_API EntityIndex {
 public:
  static constexpr std::uint32_t NONE = 0xFFFFFFFFU;
  static constexpr std::uint64_t DENSE_SLACK = 1024;

  explicit EntityIndex(std::pmr::memory_resource* resource) noexcept
      : dense_(resource), sparse_(resource), far_(resource) {}
  // A moved-from index is empty.
  EntityIndex(EntityIndex&& other) noexcept
      : dense_(std::move(other.dense_)),
        sparse_(std::move(other.sparse_)),
        far_(std::move(other.far_)),
        count_(std::exchange(other.count_, 0)),
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
    return far_.empty() ? nullptr : findSparse(id);
  }

  // The entry of an id that is present. A small id's entry is found without reading it, so that
  // a store through it (a row moved) need not wait for its cache line.
  [[nodiscard]] RowRef& entryOf(std::uint64_t id) noexcept {
    if (id < dense_.size()) return dense_[static_cast<std::size_t>(id)];
    return *const_cast<RowRef*>(findSparse(id));
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
  // Removes an id; one that is not present is left alone.
  void erase(std::uint64_t id) noexcept;

  // Exchanges the contents and storage of two indexes on the same resource.
  void swap(EntityIndex& other) noexcept {
    dense_.swap(other.dense_);
    sparse_.swap(other.sparse_);
    far_.swap(other.far_);
    std::swap(count_, other.count_);
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
  // storage the index holds where it is large enough: ids below 2 × (entries + 1) + DENSE_SLACK
  // go to a dense array exactly as long as the largest of them needs, the others to the far array
  // and a table that finds them. When the far ids fill at least half the storage of `entries`,
  // the far array takes that storage (which must be on the same resource) and `entries` is left
  // empty with the far array's old storage; otherwise `entries` may be reordered. On duplicate
  // (an id given twice) or outOfMemory the index is left empty.
  [[nodiscard]] Assigned assign(std::pmr::vector<Entry>& entries) noexcept;

  // A copy of the dense array without its trailing empty slots and spare capacity, made before
  // anything changes; adoptDense then takes it without failing. False when out of memory.
  [[nodiscard]] bool fittedDense(std::pmr::vector<RowRef>& out) const noexcept;
  void adoptDense(std::pmr::vector<RowRef>& fitted) noexcept { dense_.swap(fitted); }

  [[nodiscard]] std::size_t size() const noexcept { return count_; }
  // Bytes held, for the memory figures.
  [[nodiscard]] std::size_t capacityBytes() const noexcept {
    return dense_.capacity() * sizeof(RowRef) + sparse_.capacity() * sizeof(std::uint32_t) +
           far_.capacity() * sizeof(Entry);
  }
  void release() noexcept;

 private:
  static constexpr std::uint64_t NO_ID = ~0ULL;
  static constexpr std::uint32_t EMPTY = 0xFFFFFFFFU;  // a free slot of the table

  [[nodiscard]] const RowRef* findSparse(std::uint64_t id) const noexcept;
  [[nodiscard]] bool reserveBeyondDense(std::uint64_t id) noexcept;
  [[nodiscard]] std::uint64_t denseLimit() const noexcept;
  [[nodiscard]] std::uint64_t hashOf(std::uint64_t id) const noexcept;
  [[nodiscard]] std::size_t homeOf(std::uint64_t hash) const noexcept {
    return static_cast<std::size_t>(hash >> shift_);
  }
  // A table of 2^b slots holds fewer than 2^(b-1) entries: positions take b − 1 bits and are
  // never all ones, the tag the rest of the slot (none when b − 1 >= 32).
  [[nodiscard]] std::uint32_t positionMask() const noexcept {
    return shift_ <= 31 ? EMPTY : (std::uint32_t{1} << (63 - shift_)) - 1;
  }
  [[nodiscard]] std::uint32_t tagOf(std::uint64_t hash) const noexcept {
    return shift_ <= 31 ? 0 : static_cast<std::uint32_t>(hash) << (63 - shift_);
  }
  [[nodiscard]] bool growSparse() noexcept;
  // The slot of the table that holds far entry `at`, which is present.
  [[nodiscard]] std::size_t slotOf(std::uint32_t at) const noexcept;
  // The slot of the table that holds far id `id`, or NO_SLOT when it is absent.
  [[nodiscard]] std::size_t slotOfId(std::uint64_t id) const noexcept;
  static constexpr std::size_t NO_SLOT = ~std::size_t{0};
  // Puts far entry `at` into the table, which has a free slot.
  void place(std::uint32_t at) noexcept;
  void sparseInsert(std::uint64_t id, RowRef ref) noexcept;
  void sparseErase(std::size_t slot) noexcept;
  // Empties the table and puts every far entry back, in order, with a fresh seed.
  void rehash() noexcept;

  std::pmr::vector<RowRef> dense_;
  std::pmr::vector<std::uint32_t> sparse_;  // positions in far_; size 0 or a power of two
  std::pmr::vector<Entry> far_;
  std::size_t count_ = 0;
  // At most the least far id (NO_ID when there was none since the last rebuild).
  std::uint64_t sparse_min_ = NO_ID;
  std::uint64_t seed_ = 0;
  int shift_ = 64;  // 64 − log2(table size)
};

}  // namespace nemra_ecs::detail

#endif
