// The leak-checking allocator's records of every block, in allocation order. Private to the
// allocator.
#ifndef SELFCHECK_LEAK_BLOCK_LOG_HPP
#define SELFCHECK_LEAK_BLOCK_LOG_HPP

#include <cstddef>
#include <cstdint>

#include <selfcheck/leak/block_record.hpp>

namespace selfcheck::detail {

// Records waiting to be written, each with its sequence number.
struct PendingRecords;

// The records in allocation order (a record's index is the block's sequence number), in a memory
// file mapped read-only and changed only through pwrite, so that a stray write from a check
// faults instead of corrupting them. New and changed records wait, at most 64 of them, in a
// buffer of their own writable pages between two inaccessible ones (which a check running off the
// end of a block hits first), and are written together, one system call for each run of
// consecutive records: most operations make no system call for their record. The file is made
// when records are first written, so a log that never has more than 64 waiting makes none. Never
// allocates through the resource it serves, nor through the global heap.
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
  // Whether records have been written to the file (and so it exists).
  [[nodiscard]] bool hasFile() const noexcept { return file_ >= 0; }

  // Returns all of the log's memory; the log is then empty and usable again.
  void release() noexcept;

 private:
  [[nodiscard]] bool copyFileAfterFork() noexcept;
  [[nodiscard]] bool grow(std::size_t capacity) noexcept;
  [[nodiscard]] const BlockRecord* waiting(std::size_t sequence) const noexcept;
  // Puts a record in the buffer, which has room; returns the buffer's copy.
  BlockRecord& queue(std::size_t sequence, const BlockRecord& record) noexcept;

  int file_ = -1;
  const BlockRecord* view_ = nullptr;  // the read-only view of the file
  std::size_t capacity_ = 0;           // records the file and the view hold
  std::size_t count_ = 0;
  std::size_t written_ = 0;  // records below this are in the file (and may wait changed)
  PendingRecords* pending_ = nullptr;
  std::uint64_t forks_ = 0;  // forks of the process when the file was made
};

}  // namespace selfcheck::detail

#endif
