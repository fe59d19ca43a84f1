#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>
#include <span>
#include <sys/mman.h>

#include <selfcheck/leak/leak_report.hpp>
#include <selfcheck/leak/leak_resource.hpp>
#include <selfcheck/leak/pages.hpp>
#include <selfcheck/stack/fast_unwind.hpp>

namespace selfcheck {
namespace {

using detail::mapAnonymous;
using detail::pointer;
using detail::roundUpToPages;
using Range = detail::BlockPages::Range;

// Blocks a resource serves before it indexes them by address; a new index table has room for
// many more (its first table holds 768 entries).
constexpr std::size_t kIndexedFrom = 64;
// Blocks whose ranges close() sorts on its own stack.
constexpr std::size_t kStackScratchRanges = 128;

}  // namespace

LeakCheckingResource::~LeakCheckingResource() { close(); }

detail::LeakReport LeakCheckingResource::report() {
  reports_.fetch_add(1, std::memory_order_relaxed);
  return {};
}

// The log decides: the index's answer is checked, and when it has none, or a wrong one (a stray
// write may have damaged it), the log is searched.
std::size_t LeakCheckingResource::find(std::uintptr_t address) const noexcept {
  if (address == 0) return detail::AddressIndex::kNone;
  const std::size_t count = log_.size();
  const std::size_t hinted = index_.lookup(address);
  if (hinted < count && log_.get(hinted).address == address) return hinted;
  for (std::size_t sequence = 0; sequence < count; ++sequence) {
    if (log_.get(sequence).address == address) return sequence;
  }
  return detail::AddressIndex::kNone;
}

void* LeakCheckingResource::do_allocate(std::size_t bytes, std::size_t alignment) {
  detail::BlockRecord record{};
  record.size = bytes;
  record.alignment = alignment;
  record.alloc_frame_count =
      static_cast<std::uint8_t>(captureFramesFast(record.alloc_frames, detail::kRecordedFrames, 1));
  std::lock_guard lock(mutex_);
  // Everything that can fail comes before the block is taken; the reserve is held first, so that
  // the block cannot take its room.
  // The index is made once the log holds kIndexedFrom records; below that a scan of the log finds
  // a block as fast, and a resource that serves a few blocks makes no table at all.
  const bool indexed = log_.size() >= kIndexedFrom;
  if (!reserve_.fill() || !log_.reserveOne() || (indexed && !index_.reserveOne())) {
    throw std::bad_alloc();
  }
  const Range block = pages_.take(bytes, alignment);
  record.address = block.address;
  record.map_length = block.length;
  const std::size_t sequence = log_.add(record);
  if (indexed) {
    if (sequence == kIndexedFrom) {  // the table is new: the blocks before enter it first
      for (std::size_t earlier = 0; earlier < sequence; ++earlier) {
        index_.insert(log_.get(earlier).address, earlier);
      }
    }
    index_.insert(block.address, sequence);
  }
  return pointer(block.address);
}

void LeakCheckingResource::do_deallocate(void* p, std::size_t bytes, std::size_t alignment) {
  void* frames[detail::kRecordedFrames];
  const std::size_t frame_count = captureFramesFast(frames, detail::kRecordedFrames, 1);
  const auto address = reinterpret_cast<std::uintptr_t>(p);

  enum class Kind { freed, double_free, unknown } kind;
  detail::BlockRecord record{};  // a copy, to report from outside the lock
  int protect_error = 0;
  int record_error = 0;
  {
    std::lock_guard lock(mutex_);
    const std::size_t sequence = find(address);
    if (sequence == detail::AddressIndex::kNone) {
      kind = Kind::unknown;
    } else {
      record = log_.get(sequence);
      if (record.freed) {
        kind = Kind::double_free;
      } else {
        kind = Kind::freed;
        // The pages stay reserved but unusable until close().
        if (!pages_.retire({address, record.map_length}, reserve_)) protect_error = errno;
        if (!log_.markFreed(sequence, frames, frame_count)) record_error = errno;
      }
    }
  }

  switch (kind) {
    case Kind::unknown:
      report()
          .text("Invalid free of address ")
          .address(address)
          .text(": no block of this allocator starts there. Free: ")
          .stack(frames, frame_count);
      return;
    case Kind::double_free:
      report()
          .text("Double free detected. Allocation: ")
          .stack(record.alloc_frames, record.alloc_frame_count)
          .text(" First free: ")
          .stack(record.free_frames, record.free_frame_count)
          .text(" Second free: ")
          .stack(frames, frame_count);
      return;
    case Kind::freed:
      if (protect_error != 0) {
        report()
            .text("Freed block at ")
            .address(address)
            .text(" stays accessible: its pages could not be protected (")
            .text(std::strerror(protect_error))
            .text("). Free: ")
            .stack(frames, frame_count);
      }
      if (record_error != 0) {
        report()
            .text("The free of the block at ")
            .address(address)
            .text(" could not be recorded (")
            .text(std::strerror(record_error))
            .text("). Free: ")
            .stack(frames, frame_count);
      }
      // "Allocation size 24 bytes does not match free size 16. ...", and the same for alignment.
      const auto mismatch = [&](std::string_view what, std::string_view unit, std::size_t asked,
                                std::size_t given) {
        report()
            .text("Allocation ")
            .text(what)
            .decimal(asked)
            .text(unit)
            .text(" does not match free ")
            .text(what)
            .decimal(given)
            .text(". Allocation: ")
            .stack(record.alloc_frames, record.alloc_frame_count)
            .text(" Free: ")
            .stack(frames, frame_count);
      };
      if (bytes != record.size) mismatch("size ", " bytes", record.size, bytes);
      if (alignment != record.alignment) mismatch("alignment ", "", record.alignment, alignment);
      return;
  }
}

bool LeakCheckingResource::do_is_equal(const std::pmr::memory_resource& other) const noexcept {
  return this == &other;
}

bool LeakCheckingResource::close() {
  std::lock_guard lock(mutex_);
  // So that most records are read from the file (waiting ones are read too); a log whose records
  // all wait has no file and needs none.
  if (log_.hasFile()) (void)log_.flush();
  const std::size_t count = log_.size();

  // Leaks are reported in allocation order, before any page is returned, so that no mapping made
  // while reporting (symbolising maps the executable's tables) can land where a reported block
  // was.
  std::size_t live = 0;
  for (std::size_t sequence = 0; sequence < count; ++sequence) {
    const detail::BlockRecord& r = log_.get(sequence);
    if (r.freed) continue;
    ++live;
    report()
        .text("memory address ")
        .address(r.address)
        .text(" leaked: ")
        .stack(r.alloc_frames, r.alloc_frame_count);
  }

  // Blocks mapped one after the other usually lie side by side: in address order, each run of
  // adjacent blocks (with what is left of the current chunk) is returned with one call.
  std::size_t not_unmapped = 0;
  int unmap_error = 0;
  auto unmap = [&](Range m) {
    if (!reserve_.retry([&] { return ::munmap(pointer(m.address), m.length); })) {
      ++not_unmapped;
      unmap_error = errno;
    }
  };
  const Range unused = pages_.unused();
  // Room to sort the blocks: the stack for a few, else the index's table, which is no longer
  // needed, when it is large enough (it holds an entry for every block, so it mostly is), else
  // pages of its own.
  const std::size_t scratch_bytes = roundUpToPages((count + 1) * sizeof(Range));
  const std::span<std::byte> index_memory = index_.memoryForScratch();
  Range on_stack[kStackScratchRanges];
  void* scratch = nullptr;
  bool scratch_mapped = false;
  if (count + 1 <= kStackScratchRanges) {
    scratch = on_stack;
  } else if (index_memory.size() >= (count + 1) * sizeof(Range)) {
    scratch = index_memory.data();
  } else if (count != 0 || unused.length != 0) {
    (void)reserve_.retry([&] {
      scratch = mapAnonymous(scratch_bytes, PROT_READ | PROT_WRITE);
      return scratch == nullptr ? -1 : 0;
    });
    scratch_mapped = scratch != nullptr;
  }
  if (scratch != nullptr) {
    auto* ranges = static_cast<Range*>(scratch);
    std::size_t n = 0;
    for (std::size_t sequence = 0; sequence < count; ++sequence) {
      const detail::BlockRecord& r = log_.get(sequence);
      ranges[n++] = {r.address, r.map_length};
    }
    if (unused.length != 0) ranges[n++] = unused;
    std::sort(ranges, ranges + n,
              [](const Range& a, const Range& b) { return a.address < b.address; });
    for (std::size_t i = 0; i < n;) {
      Range run = ranges[i++];
      while (i < n && ranges[i].address == run.address + run.length)
        run.length += ranges[i++].length;
      unmap(run);
    }
    if (scratch_mapped) ::munmap(scratch, scratch_bytes);
  } else {
    // No page to spare at all (or nothing to return): one call for each block.
    for (std::size_t sequence = 0; sequence < count; ++sequence) {
      const detail::BlockRecord& r = log_.get(sequence);
      unmap({r.address, r.map_length});
    }
    if (unused.length != 0) unmap(unused);
  }
  log_.release();
  index_.release();
  pages_.reset();
  if (not_unmapped != 0) {
    report()
        .decimal(not_unmapped)
        .text(" blocks could not be returned to the operating system (")
        .text(std::strerror(unmap_error))
        .text(")");
  }
  return live != 0;
}

}  // namespace selfcheck
