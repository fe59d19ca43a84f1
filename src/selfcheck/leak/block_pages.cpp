#include <bit>
#include <limits>
#include <new>
#include <sys/mman.h>

#include <selfcheck/leak/block_pages.hpp>
#include <selfcheck/leak/pages.hpp>

namespace selfcheck::detail {
namespace {

using Range = BlockPages::Range;

// Blocks of up to kChunkBlockPages pages are cut from chunks of kChunkPages pages.
constexpr std::size_t kChunkPages = 256;
constexpr std::size_t kChunkBlockPages = 16;
// Retired pages are dropped once this many adjacent ones wait.
constexpr std::size_t kDropPages = 64;

// A mapping of its own for one block of `length` bytes (whole pages), at its start. For an
// alignment above the page size, enough is mapped to find an aligned start, and the pages before
// and after the block are given back. Throws std::bad_alloc for what cannot be served.
Range mapBlock(std::size_t length, std::size_t alignment) {
  const std::size_t page = pageSize();
  const std::size_t slack = alignment > page ? alignment - page : 0;
  if (length > std::numeric_limits<std::size_t>::max() - slack) throw std::bad_alloc();
  const std::size_t total = length + slack;
  void* mapped = mapAnonymous(total, PROT_READ | PROT_WRITE);
  if (mapped == nullptr) throw std::bad_alloc();
  const auto base = reinterpret_cast<std::uintptr_t>(mapped);
  const std::uintptr_t address = (base + alignment - 1) & ~(std::uintptr_t{alignment} - 1);
  const std::uintptr_t tail = address + length;
  if (address > base && ::munmap(mapped, address - base) != 0) {
    ::munmap(mapped, total);
    throw std::bad_alloc();
  }
  if (tail < base + total && ::munmap(pointer(tail), base + total - tail) != 0) {
    ::munmap(pointer(address), base + total - address);
    throw std::bad_alloc();
  }
  return {address, length};
}

}  // namespace

Range BlockPages::take(std::size_t bytes, std::size_t alignment) {
  const std::size_t page = pageSize();
  if (alignment == 0 || !std::has_single_bit(alignment)) throw std::bad_alloc();
  const std::size_t wanted = bytes == 0 ? 1 : bytes;  // a distinct address even for 0 bytes
  if (wanted > std::numeric_limits<std::size_t>::max() - (page - 1)) throw std::bad_alloc();
  const std::size_t length = roundUpToPages(wanted);
  if (alignment > page || length > kChunkBlockPages * page) return mapBlock(length, alignment);
  if (end_ - next_ < length) {
    // What is left of the chunk is too short: it is given back, and a new chunk mapped.
    // Without the reserve: an allocation must leave all of it held.
    if (next_ != end_ && ::munmap(pointer(next_), end_ - next_) != 0) throw std::bad_alloc();
    next_ = end_ = 0;
    void* chunk = mapAnonymous(kChunkPages * page, PROT_READ | PROT_WRITE);
    if (chunk == nullptr) throw std::bad_alloc();
    next_ = reinterpret_cast<std::uintptr_t>(chunk);
    end_ = next_ + kChunkPages * page;
  }
  const Range block{next_, length};
  next_ += length;
  return block;
}

bool BlockPages::retire(Range block, MappingReserve& reserve) noexcept {
  if (!reserve.retry([&] { return ::mprotect(pointer(block.address), block.length, PROT_NONE); })) {
    return false;
  }
  if (block.address == drop_end_) {
    drop_end_ += block.length;
  } else if (block.address + block.length == drop_begin_) {
    drop_begin_ = block.address;
  } else {
    dropWaiting();
    drop_begin_ = block.address;
    drop_end_ = block.address + block.length;
  }
  if (drop_end_ - drop_begin_ >= kDropPages * pageSize()) dropWaiting();
  return true;
}

void BlockPages::dropWaiting() noexcept {
  if (drop_end_ != drop_begin_)
    ::madvise(pointer(drop_begin_), drop_end_ - drop_begin_, MADV_DONTNEED);
  drop_begin_ = drop_end_ = 0;
}

void BlockPages::reset() noexcept { next_ = end_ = drop_begin_ = drop_end_ = 0; }

}  // namespace selfcheck::detail
