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

// What the resource knows of one block. The fields a free changes come last.
struct BlockRecord {
  std::uintptr_t address;  // what do_allocate returned, the start of the block's own pages
  std::size_t size;        // bytes asked for
  std::size_t alignment;   // alignment asked for
  std::size_t map_length;  // bytes of pages from address on that belong to the block
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

// Records waiting to be written, each with its sequence number.
struct PendingRecords;

// The records in allocation order (a record's index is the block's sequence number), in a memory
// file mapped read-only and changed only through pwrite, so that a stray write from a check
// faults instead of corrupting them. New and changed records wait, at most 64 of them, in a
// buffer of their own writable pages between two inaccessible ones (which a check running off the
// end of a block hits first), and are written together, one system call for each run of
// consecutive records: most operations make no system call for their record. Never allocates
// through the resource it serves, nor through the global heap.
class BlockLog {
 public:
  BlockLog() = default;
  BlockLog(const BlockLog&) = delete;
  BlockLog& operator=(const BlockLog&) = delete;
  ~BlockLog() { release(); }

  // Makes room for one more record. False (with errno set, nothing recorded lost) when memory, a
  // mapping or a file descriptor cannot be had, or waiting records cannot be written.
  [[nodiscard]] bool reserveOne() noexcept;
  // Appends a record, after reserveOne, and returns its sequence number.
  std::size_t add(const BlockRecord& record) noexcept;
  // The record with a sequence number below size().
  [[nodiscard]] const BlockRecord& get(std::size_t sequence) const noexcept;
  // Marks a record freed, with the stack of the free. False (errno set, the record unchanged)
  // when waiting records had to be written to make room and could not be.
  [[nodiscard]] bool markFreed(std::size_t sequence, void* const* frames,
                               std::size_t frame_count) noexcept;
  // Writes every waiting record. False (errno set; they keep waiting) when a write fails.
  [[nodiscard]] bool flush() noexcept;
  // The written copy of a record in the read-only view, or nullptr while it waits.
  [[nodiscard]] const BlockRecord* written(std::size_t sequence) const noexcept;
  [[nodiscard]] std::size_t size() const noexcept { return count_; }

  // Returns all of the log's memory; the log is then empty and usable again.
  void release() noexcept;

 private:
  [[nodiscard]] bool ownFile() noexcept;
  [[nodiscard]] bool grow(std::size_t capacity) noexcept;
  [[nodiscard]] const BlockRecord* waiting(std::size_t sequence) const noexcept;
  // Puts a record in the buffer, which has room; returns the buffer's copy.
  BlockRecord& wait(std::size_t sequence, const BlockRecord& record) noexcept;

  int file_ = -1;
  const BlockRecord* view_ = nullptr;  // the read-only view of the file
  std::size_t capacity_ = 0;           // records the file and the view hold
  std::size_t count_ = 0;
  std::size_t written_ = 0;  // records below this are in the file (and may wait changed)
  PendingRecords* pending_ = nullptr;
  std::uint64_t forks_ = 0;  // forks of the process when the file was made
};

// From block address to sequence number: an open-addressing hash table in writable memory of its
// own. Only a hint: every answer is checked against the log, which alone is trusted.
class AddressIndex {
 public:
  AddressIndex() = default;
  AddressIndex(const AddressIndex&) = delete;
  AddressIndex& operator=(const AddressIndex&) = delete;
  ~AddressIndex() { release(); }

  // Makes room for one more entry; false (errno set, the index unchanged) otherwise.
  [[nodiscard]] bool reserveOne() noexcept;
  // Adds an entry, after reserveOne.
  void insert(std::uintptr_t address, std::size_t sequence) noexcept;
  // The sequence number stored for `address`, or kNone.
  [[nodiscard]] std::size_t lookup(std::uintptr_t address) const noexcept;
  void release() noexcept;

  static constexpr std::size_t kNone = ~std::size_t{0};

 private:
  struct Entry {
    std::uintptr_t address;  // 0 for an empty slot
    std::size_t sequence;
  };
  Entry* slots_ = nullptr;
  std::size_t slot_count_ = 0;  // a power of two, at least 4/3 of count_
  std::size_t count_ = 0;
};

// Pages for blocks. A block of a few pages is cut from a larger mapping (a chunk), so that most
// allocations need no system call; a chunk's pages are never handed out twice. Larger blocks, and
// blocks aligned beyond a page, get a mapping of their own. Freed pages are made inaccessible at
// once; their contents are dropped a run of adjacent pages at a time.
class BlockPages {
 public:
  struct Range {
    std::uintptr_t address;
    std::size_t length;
  };

  BlockPages() = default;
  BlockPages(const BlockPages&) = delete;
  BlockPages& operator=(const BlockPages&) = delete;

  // Whole fresh pages for one block, the block at their start. Throws std::bad_alloc for what
  // cannot be served.
  [[nodiscard]] Range take(std::size_t bytes, std::size_t alignment);
  // Makes a block's pages inaccessible; false (errno set) when they could not be.
  [[nodiscard]] bool retire(Range block, MappingReserve& reserve) noexcept;
  // The part of the current chunk not handed out yet (length 0 when there is none).
  [[nodiscard]] Range unused() const noexcept { return {next_, end_ - next_}; }
  // Forgets the chunk and the pages waiting to be dropped, once everything has been unmapped.
  void reset() noexcept;

 private:
  void dropWaiting() noexcept;

  std::uintptr_t next_ = 0;  // the current chunk's pages not handed out yet
  std::uintptr_t end_ = 0;
  std::uintptr_t drop_begin_ = 0;  // retired pages whose contents are still to be dropped
  std::uintptr_t drop_end_ = 0;
};

}  // namespace detail

// A std::pmr::memory_resource that gives every block whole pages of its own from the operating
// system (mmap), never handed out before, and records, for every block, its size, alignment and
// the call stack (at most 10 frames) of its allocation. Each operation costs the same whatever
// the number of blocks; most make one system call (the free's change of protection) or none.
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

  [[nodiscard]] std::size_t find(std::uintptr_t address) const noexcept;

  std::mutex mutex_;
  detail::BlockLog log_;
  detail::AddressIndex index_;
  detail::BlockPages pages_;
  detail::MappingReserve reserve_;
};

}  // namespace selfcheck

#endif
