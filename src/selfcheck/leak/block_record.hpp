// What the leak-checking allocator knows of one block. Private to the allocator.
#ifndef SELFCHECK_LEAK_BLOCK_RECORD_HPP
#define SELFCHECK_LEAK_BLOCK_RECORD_HPP

#include <cstddef>
#include <cstdint>

namespace selfcheck::detail {

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

}  // namespace selfcheck::detail

#endif
