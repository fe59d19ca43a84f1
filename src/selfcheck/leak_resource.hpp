// The leak-checking allocator handed to every check.
#ifndef SELFCHECK_LEAK_RESOURCE_HPP
#define SELFCHECK_LEAK_RESOURCE_HPP

#include <cstddef>
#include <cstdint>
#include <memory_resource>
#include <mutex>

namespace selfcheck {

namespace detail {

inline constexpr std::size_t kRecordedFrames = 10;

// What the resource knows of one block. Records live in pages of their own, mapped read-only
// except while the resource itself updates them, so a stray write from a check faults instead of
// corrupting the bookkeeping.
struct BlockRecord {
  std::uintptr_t address;   // what do_allocate returned
  std::size_t size;         // bytes asked for
  std::size_t alignment;    // alignment asked for
  std::uintptr_t map_base;  // the pages backing the block
  std::size_t map_length;
  bool freed;
  std::uint8_t alloc_frame_count;
  std::uint8_t free_frame_count;
  void* alloc_frames[kRecordedFrames];
  void* free_frames[kRecordedFrames];
};

// Records in allocation order, and an open-addressing index from block address to record.
// Backed by anonymous mappings only: it never allocates through the resource it serves, nor
// through the global heap.
class BlockTable {
 public:
  BlockTable() = default;
  BlockTable(const BlockTable&) = delete;
  BlockTable& operator=(const BlockTable&) = delete;
  ~BlockTable();

  // Makes the table writable until the matching endUpdate; both only under the owner's mutex.
  void beginUpdate();
  void endUpdate();

  // Appends a record (inside an update). Returns nullptr when no memory can be had.
  BlockRecord* add(const BlockRecord& record);
  // The record of the block at `address`, or nullptr.
  BlockRecord* find(std::uintptr_t address) const;
  BlockRecord* begin() const { return records_; }
  BlockRecord* end() const { return records_ + count_; }
  // Forgets every record (inside an update); the mappings are kept for reuse.
  void clear();

 private:
  bool grow();
  void insertIndex(std::uint32_t record_number);

  BlockRecord* records_ = nullptr;
  std::size_t count_ = 0;
  std::size_t capacity_ = 0;        // records
  std::uint32_t* index_ = nullptr;  // record number + 1, 0 for an empty slot
  std::size_t index_slots_ = 0;     // a power of two, at least twice capacity_
};

}  // namespace detail

// A std::pmr::memory_resource that gives every block pages of its own from the operating system
// (mmap) and records, for every block, its size, alignment and the call stack (at most 10 frames)
// of its allocation.
//
// - A freed block's pages stay reserved and inaccessible (PROT_NONE) until close(), so a use
//   after free faults, and a second free of the same address is recognised as such rather than
//   confused with a newer block.
// - Misuse is reported through the log function, scope "gpa", level err, as it happens: a double
//   free, and a free whose size or alignment differs from the allocation's (the block is then
//   freed all the same). A free of an address it never handed out is reported too.
// - close() reports every block still allocated ("memory address 0x{x} leaked: {stack}"), returns
//   all pages to the operating system and leaves the resource empty and usable again.
// - Sizes and alignments it cannot serve (overflow when rounding up to pages, an alignment that
//   is not a power of two, an exhausted address space) throw std::bad_alloc.
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
};

}  // namespace selfcheck

#endif
