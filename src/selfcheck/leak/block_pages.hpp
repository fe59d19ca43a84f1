// The pages of the leak-checking allocator's blocks. Private to the allocator.
#ifndef SELFCHECK_LEAK_BLOCK_PAGES_HPP
#define SELFCHECK_LEAK_BLOCK_PAGES_HPP

#include <cstddef>
#include <cstdint>

#include <selfcheck/leak/mapping_reserve.hpp>

namespace selfcheck::detail {

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

}  // namespace selfcheck::detail

#endif
