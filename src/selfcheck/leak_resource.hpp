// The leak-checking allocator handed to every check.
#ifndef SELFCHECK_LEAK_RESOURCE_HPP
#define SELFCHECK_LEAK_RESOURCE_HPP

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <memory_resource>
#include <mutex>

namespace selfcheck {

namespace detail {

inline constexpr std::size_t kRecordedFrames = 10;

// What the resource knows of one block. The fields a free changes come last, so that recording a
// free writes one contiguous piece.
struct BlockRecord {
  std::uintptr_t address;  // what do_allocate returned, the start of the block's own pages; 0 for
                           // an empty slot
  std::uint64_t sequence;  // allocation order
  std::size_t size;        // bytes asked for
  std::size_t alignment;   // alignment asked for
  std::size_t map_length;  // bytes of pages mapped from address on
  std::uint8_t alloc_frame_count;
  void* alloc_frames[kRecordedFrames];
  bool freed;
  std::uint8_t free_frame_count;
  void* free_frames[kRecordedFrames];
};

// Mappings held back for the process's limit on the number of mappings: at the limit, changing
// the protection of part of a mapping fails for want of a new one, and each held mapping given
// back makes room for exactly one. A free draws on them to protect a block's pages; an allocation
// is refused unless they can all be held again.
class MappingReserve {
 public:
  MappingReserve() = default;
  MappingReserve(const MappingReserve&) = delete;
  MappingReserve& operator=(const MappingReserve&) = delete;
  ~MappingReserve() { clear(); }

  // Holds every mapping of the reserve; false when the process cannot have that many more.
  [[nodiscard]] bool fill() noexcept;
  // Gives one held mapping back; false when none is left.
  [[nodiscard]] bool giveOneBack() noexcept;
  void clear() noexcept;

  // Runs `change` (a call that returns 0, or -1 with errno set) again while it fails with ENOMEM
  // and a held mapping can be given back. Returns whether it succeeded.
  template <class Change>
  [[nodiscard]] bool retry(Change change) noexcept {
    while (change() != 0) {
      if (errno != ENOMEM || !giveOneBack()) return false;
    }
    return true;
  }

 private:
  std::uintptr_t base_ = 0;  // 0 when nothing is held
  std::size_t next_ = 0;     // the next page to give back
};

// The records: an open-addressing hash table from block address to record, in a memory file that
// is mapped read-only and changed only through pwrite. A stray write from a check faults instead
// of corrupting the bookkeeping, and an update costs one system call, however many blocks there
// are. Never allocates through the resource it serves, nor through the global heap.
class BlockTable {
 public:
  BlockTable() = default;
  BlockTable(const BlockTable&) = delete;
  BlockTable& operator=(const BlockTable&) = delete;
  ~BlockTable() { release(); }

  // Makes room for one more record. False (with errno set, the table unchanged) when memory, a
  // mapping or a file descriptor cannot be had.
  [[nodiscard]] bool reserveOne() noexcept;
  // Stores a record for a new address, after reserveOne; `record.sequence` is set here. False
  // (errno set, the table unchanged) when the write fails.
  [[nodiscard]] bool add(const BlockRecord& record) noexcept;
  // The record of the block at `address`, or nullptr. Read-only memory.
  [[nodiscard]] const BlockRecord* find(std::uintptr_t address) const noexcept;
  // Marks the recorded block at `address` freed, with the stack of the free. False (errno set)
  // when the write fails.
  [[nodiscard]] bool markFreed(std::uintptr_t address, void* const* frames,
                               std::size_t frame_count) noexcept;

  // Every slot; empty ones have address 0.
  [[nodiscard]] const BlockRecord* slotsBegin() const noexcept { return slots_; }
  [[nodiscard]] const BlockRecord* slotsEnd() const noexcept { return slots_ + slot_count_; }
  [[nodiscard]] std::size_t size() const noexcept { return count_; }

  // Returns all of the table's memory; the table is then empty and usable again.
  void release() noexcept;

 private:
  [[nodiscard]] bool rehash(std::size_t slot_count) noexcept;

  int file_ = -1;
  BlockRecord* slots_ = nullptr;  // the read-only view of the file
  std::size_t slot_count_ = 0;    // a power of two, at least 4/3 of count_
  std::size_t count_ = 0;
  std::uint64_t next_sequence_ = 0;
  std::uint64_t forks_ = 0;  // forks of the process when the file was made
};

}  // namespace detail

// A std::pmr::memory_resource that gives every block pages of its own from the operating system
// (mmap) and records, for every block, its size, alignment and the call stack (at most 10 frames)
// of its allocation. Each operation costs the same whatever the number of blocks.
//
// - A freed block's pages stay reserved and inaccessible (PROT_NONE) until close(), so a use
//   after free faults, and a second free of the same address is recognised as such rather than
//   confused with a newer block. A free whose pages cannot be protected is reported.
// - Misuse is reported through the log function, scope "gpa", level err, as it happens: a double
//   free, and a free whose size or alignment differs from the allocation's (the block is then
//   freed all the same). A free of an address it never handed out is reported too.
// - close() reports every block still allocated ("memory address 0x{x} leaked: {stack}") in
//   allocation order, returns all pages, the records' included, to the operating system and
//   leaves the resource empty and usable again.
// - Sizes and alignments it cannot serve (overflow when rounding up to pages, an alignment that
//   is not a power of two, an exhausted address space) throw std::bad_alloc, and so does an
//   allocation near the process's limit on the number of mappings, which keeps room for frees.
// - Safe to use from several threads: every operation holds one mutex.
class LeakCheckingResource final : public std::pmr::memory_resource {
 public:
  LeakCheckingResource() = default;
  LeakCheckingResource(const LeakCheckingResource&) = delete;
  LeakCheckingResource& operator=(const LeakCheckingResource&) = delete;
  // Closes the resource (so a leak still gets reported).
  ~LeakCheckingResource() override;

  // Reports every block still allocated, releases all memory, and returns whether anything
  // leaked.
  bool close();

 private:
  void* do_allocate(std::size_t bytes, std::size_t alignment) override;
  void do_deallocate(void* p, std::size_t bytes, std::size_t alignment) override;
  bool do_is_equal(const std::pmr::memory_resource& other) const noexcept override;

  std::mutex mutex_;
  detail::BlockTable table_;
  detail::MappingReserve reserve_;
};

}  // namespace selfcheck

#endif
