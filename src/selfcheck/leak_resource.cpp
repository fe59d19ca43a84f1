#include <algorithm>
#include <atomic>
#include <bit>
#include <cerrno>
#include <cstddef>
#include <cstring>
#include <limits>
#include <new>
#include <pthread.h>
#include <string>
#include <string_view>
#include <sys/mman.h>
#include <unistd.h>

#include <selfcheck/check_context.hpp>
#include <selfcheck/leak_resource.hpp>
#include <selfcheck/log.hpp>
#include <selfcheck/number_text.hpp>
#include <selfcheck/stack_trace.hpp>

namespace selfcheck {
namespace {

std::size_t pageSize() {
  static const std::size_t size = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
  return size;
}

std::size_t roundUpToPages(std::size_t bytes) {
  std::size_t page = pageSize();
  return (bytes + page - 1) / page * page;
}

void* mapAnonymous(std::size_t length, int protection, int extra_flags = 0) {
  void* p = ::mmap(nullptr, length, protection, MAP_PRIVATE | MAP_ANONYMOUS | extra_flags, -1, 0);
  return p == MAP_FAILED ? nullptr : p;
}

void* pointer(std::uintptr_t address) { return reinterpret_cast<void*>(address); }

struct Mapping {
  std::uintptr_t address;
  std::size_t length;
};

// Whole fresh pages for one block, the block at their start. Throws std::bad_alloc for what cannot
// be served.
Mapping mapBlock(std::size_t bytes, std::size_t alignment) {
  const std::size_t page = pageSize();
  if (alignment == 0 || !std::has_single_bit(alignment)) throw std::bad_alloc();
  const std::size_t wanted = bytes == 0 ? 1 : bytes;  // a distinct address even for 0 bytes
  if (wanted > std::numeric_limits<std::size_t>::max() - (page - 1)) throw std::bad_alloc();
  const std::size_t length = roundUpToPages(wanted);
  // For an alignment above the page size, map enough to find an aligned start, then give back
  // the pages before and after the block.
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

std::string hexAddress(std::uintptr_t value) { return "0x" + std::string(hexDigits(value).view()); }

std::string decimal(std::size_t value) { return std::string(decimalDigits(value).view()); }

// A recorded call stack as it stands in a report: on the lines after the text before it.
std::string stackText(void* const* frames, std::size_t count) {
  if (count == 0) return "\n    (no frames recorded)\n";
  return "\n" + renderFrames(frames, count);
}

std::string allocationStack(const detail::BlockRecord& r) {
  return stackText(r.alloc_frames, r.alloc_frame_count);
}

// Logs the err-level message that `build` returns. Such a message comes when the process has no
// mapping to spare, and then perhaps no memory for its text either: the error is then counted and
// printed as `before`, the address and `after`, from a fixed buffer.
template <class Build>
void reportAtLimit(Build build, std::string_view before, std::uintptr_t address,
                   std::string_view after) noexcept {
  bool counted = false;
  try {
    const std::string text = build();
    counted = true;  // log counts the error before it formats the line
    log("gpa", LogLevel::err, text);
    return;
  } catch (const std::bad_alloc&) {
  }
  if (!counted) checkContext().countError();
  char line[160];
  const NumberText digits = hexDigits(address);
  char* end = line;
  for (const std::string_view part :
       {std::string_view("[gpa] (err): "), before, digits.view(), after, std::string_view("\n")}) {
    end = std::copy(part.begin(), part.end(), end);
  }
  writeStderr(std::string_view(line, static_cast<std::size_t>(end - line)));
}

// Writes all of `bytes` at `offset` of the file; false with errno set otherwise.
bool writeAt(int file, const void* bytes, std::size_t length, std::size_t offset) {
  const auto* from = static_cast<const char*>(bytes);
  while (length > 0) {
    const ssize_t n = ::pwrite(file, from, length, static_cast<off_t>(offset));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (n == 0) errno = EIO;
      return false;
    }
    from += n;
    length -= static_cast<std::size_t>(n);
    offset += static_cast<std::size_t>(n);
  }
  return true;
}

// The reserve: pages alternately PROT_NONE and PROT_READ, so that each is a mapping of its own,
// between two pages that are never given back (they may merge with whatever is mapped beside).
constexpr std::size_t kReservePages = 65;
constexpr std::size_t kFirstHeld = 1;
constexpr std::size_t kLastHeld = kReservePages - 2;

// The table's slot for a block address: block addresses are page aligned, so the page number is
// hashed (Fibonacci hashing into a power-of-two table).
std::size_t homeSlot(std::uintptr_t address, std::size_t slot_count) {
  const std::uint64_t h = static_cast<std::uint64_t>(address >> 12) * 0x9E3779B97F4A7C15ull;
  return static_cast<std::size_t>(h >> (64 - std::countr_zero(slot_count)));
}

// Forks so far. A child shares the parent's record file, so a table copies it before its first
// change after a fork.
std::atomic<std::uint64_t> g_forks{0};
void countFork() noexcept { g_forks.fetch_add(1, std::memory_order_relaxed); }
std::uint64_t forksSoFar() noexcept {
  static const int registered = ::pthread_atfork(nullptr, nullptr, countFork);
  (void)registered;
  return g_forks.load(std::memory_order_relaxed);
}

constexpr std::size_t kFirstSlotCount = 64;
// Slot numbers and sequence numbers stay within 32 bits in the close-time ordering.
constexpr std::size_t kMaxSlotCount = std::size_t{1} << 31;

}  // namespace

namespace detail {

bool MappingReserve::fill() noexcept {
  if (base_ != 0 && next_ == kFirstHeld) return true;
  clear();
  const std::size_t page = pageSize();
  void* mapped = mapAnonymous(kReservePages * page, PROT_NONE, MAP_NORESERVE);
  if (mapped == nullptr) return false;
  const auto base = reinterpret_cast<std::uintptr_t>(mapped);
  for (std::size_t i = kFirstHeld; i <= kLastHeld; i += 2) {
    if (::mprotect(pointer(base + i * page), page, PROT_READ) != 0) {
      ::munmap(mapped, kReservePages * page);
      return false;
    }
  }
  base_ = base;
  next_ = kFirstHeld;
  return true;
}

bool MappingReserve::giveOneBack() noexcept {
  if (base_ == 0 || next_ > kLastHeld) return false;
  const std::size_t page = pageSize();
  ::munmap(pointer(base_ + next_ * page), page);  // a whole mapping: needs no new one
  ++next_;
  return true;
}

void MappingReserve::clear() noexcept {
  if (base_ == 0) return;
  ::munmap(pointer(base_), kReservePages * pageSize());
  base_ = 0;
  next_ = 0;
}

const BlockRecord* BlockTable::find(std::uintptr_t address) const noexcept {
  if (slots_ == nullptr || address == 0) return nullptr;
  for (std::size_t slot = homeSlot(address, slot_count_); slots_[slot].address != 0;
       slot = (slot + 1) & (slot_count_ - 1)) {
    if (slots_[slot].address == address) return &slots_[slot];
  }
  return nullptr;
}

bool BlockTable::reserveOne() noexcept {
  if (4 * (count_ + 1) <= 3 * slot_count_) return true;  // at most three quarters full
  const std::size_t wanted = slot_count_ == 0 ? kFirstSlotCount : 2 * slot_count_;
  if (wanted > kMaxSlotCount) {
    errno = ENOMEM;
    return false;
  }
  return rehash(wanted);
}

// Moves every record into a new file of `slot_count` slots. The new file is filled through a
// writable view that is made read-only before it is used; the old one is then dropped.
bool BlockTable::rehash(std::size_t slot_count) noexcept {
  const std::size_t bytes = roundUpToPages(slot_count * sizeof(BlockRecord));
  const int file = ::memfd_create("nemra leak-checking records", MFD_CLOEXEC);
  if (file < 0) return false;
  const int protection = count_ == 0 ? PROT_READ : PROT_READ | PROT_WRITE;
  void* view = MAP_FAILED;
  if (::ftruncate(file, static_cast<off_t>(bytes)) == 0) {
    view = ::mmap(nullptr, bytes, protection, MAP_SHARED | MAP_POPULATE, file, 0);
  }
  if (view == MAP_FAILED) {
    const int error = errno;
    ::close(file);
    errno = error;
    return false;
  }
  auto* slots = static_cast<BlockRecord*>(view);
  const std::size_t mask = slot_count - 1;
  const std::uint64_t forks = forksSoFar();
  for (const BlockRecord* r = slotsBegin(); r != slotsEnd(); ++r) {
    if (r->address == 0) continue;
    std::size_t slot = homeSlot(r->address, slot_count);
    while (slots[slot].address != 0) slot = (slot + 1) & mask;
    slots[slot] = *r;
  }
  if (protection != PROT_READ && ::mprotect(view, bytes, PROT_READ) != 0) {
    const int error = errno;
    ::munmap(view, bytes);
    ::close(file);
    errno = error;
    return false;
  }
  const std::size_t count = count_;
  const std::uint64_t next_sequence = next_sequence_;
  release();
  file_ = file;
  slots_ = slots;
  slot_count_ = slot_count;
  count_ = count;
  next_sequence_ = next_sequence;
  forks_ = forks;
  return true;
}

bool BlockTable::add(const BlockRecord& record) noexcept {
  if (forks_ != forksSoFar() && !rehash(slot_count_)) return false;
  std::size_t slot = homeSlot(record.address, slot_count_);
  while (slots_[slot].address != 0) slot = (slot + 1) & (slot_count_ - 1);
  BlockRecord stored = record;
  stored.sequence = next_sequence_;
  if (!writeAt(file_, &stored, sizeof stored, slot * sizeof(BlockRecord))) return false;
  ++next_sequence_;
  ++count_;
  return true;
}

bool BlockTable::markFreed(std::uintptr_t address, void* const* frames,
                           std::size_t frame_count) noexcept {
  if (forks_ != forksSoFar() && !rehash(slot_count_)) return false;
  const BlockRecord* record = find(address);
  BlockRecord changed = *record;
  changed.freed = true;
  changed.free_frame_count = static_cast<std::uint8_t>(frame_count);
  std::memcpy(changed.free_frames, frames, frame_count * sizeof(void*));
  constexpr std::size_t kFrom = offsetof(BlockRecord, freed);
  const auto offset = static_cast<std::size_t>(record - slots_) * sizeof(BlockRecord) + kFrom;
  return writeAt(file_, reinterpret_cast<const char*>(&changed) + kFrom, sizeof changed - kFrom,
                 offset);
}

void BlockTable::release() noexcept {
  // Whole mappings of a file, which merge with nothing: unmapping them needs no new mapping.
  if (slots_ != nullptr) ::munmap(slots_, roundUpToPages(slot_count_ * sizeof(BlockRecord)));
  if (file_ >= 0) ::close(file_);
  file_ = -1;
  slots_ = nullptr;
  slot_count_ = 0;
  count_ = 0;
  next_sequence_ = 0;
}

}  // namespace detail

LeakCheckingResource::~LeakCheckingResource() { close(); }

void* LeakCheckingResource::do_allocate(std::size_t bytes, std::size_t alignment) {
  detail::BlockRecord record{};
  record.size = bytes;
  record.alignment = alignment;
  record.alloc_frame_count =
      static_cast<std::uint8_t>(captureFrames(record.alloc_frames, detail::kRecordedFrames, 1));
  std::lock_guard lock(mutex_);
  // The reserve is held before the block is mapped, so that the block cannot take its room.
  if (!reserve_.fill() || !table_.reserveOne()) throw std::bad_alloc();
  const Mapping mapping = mapBlock(bytes, alignment);
  record.address = mapping.address;
  record.map_length = mapping.length;
  if (!table_.add(record)) {
    (void)reserve_.retry([&] { return ::munmap(pointer(mapping.address), mapping.length); });
    throw std::bad_alloc();
  }
  return pointer(mapping.address);
}

void LeakCheckingResource::do_deallocate(void* p, std::size_t bytes, std::size_t alignment) {
  void* frames[detail::kRecordedFrames];
  const std::size_t frame_count = captureFrames(frames, detail::kRecordedFrames, 1);
  const auto address = reinterpret_cast<std::uintptr_t>(p);

  enum class Kind { freed, double_free, unknown } kind;
  detail::BlockRecord record{};  // a copy, to report from outside the lock
  int protect_error = 0;
  int record_error = 0;
  {
    std::lock_guard lock(mutex_);
    const detail::BlockRecord* found = table_.find(address);
    if (found == nullptr) {
      kind = Kind::unknown;
    } else if (found->freed) {
      kind = Kind::double_free;
      record = *found;
    } else {
      kind = Kind::freed;
      // The pages stay reserved but unusable until close(); their contents are dropped now.
      if (reserve_.retry([&] { return ::mprotect(p, found->map_length, PROT_NONE); })) {
        ::madvise(p, found->map_length, MADV_DONTNEED);
      } else {
        protect_error = errno;
      }
      if (!table_.markFreed(address, frames, frame_count)) record_error = errno;
      record = *table_.find(address);
    }
  }

  const auto free_stack = [&] { return stackText(frames, frame_count); };
  switch (kind) {
    case Kind::unknown:
      log("gpa", LogLevel::err,
          "Invalid free of address " + hexAddress(address) +
              ": no block of this allocator starts there. Free: " + free_stack());
      return;
    case Kind::double_free:
      log("gpa", LogLevel::err,
          "Double free detected. Allocation: " + allocationStack(record) +
              " First free: " + stackText(record.free_frames, record.free_frame_count) +
              " Second free: " + free_stack());
      return;
    case Kind::freed:
      if (protect_error != 0) {
        reportAtLimit(
            [&] {
              return "Freed block at " + hexAddress(address) +
                     " stays accessible: its pages could not be protected (" +
                     std::strerror(protect_error) + "). Free: " + free_stack();
            },
            "Freed block at 0x", address, " stays accessible");
      }
      if (record_error != 0) {
        reportAtLimit(
            [&] {
              return "The free of the block at " + hexAddress(address) +
                     " could not be recorded (" + std::strerror(record_error) +
                     "). Free: " + free_stack();
            },
            "The free of the block at 0x", address, " could not be recorded");
      }
      if (bytes != record.size) {
        log("gpa", LogLevel::err,
            "Allocation size " + decimal(record.size) + " bytes does not match free size " +
                decimal(bytes) + ". Allocation: " + allocationStack(record) +
                " Free: " + free_stack());
      }
      if (alignment != record.alignment) {
        log("gpa", LogLevel::err,
            "Allocation alignment " + decimal(record.alignment) +
                " does not match free alignment " + decimal(alignment) +
                ". Allocation: " + allocationStack(record) + " Free: " + free_stack());
      }
      return;
  }
}

bool LeakCheckingResource::do_is_equal(const std::pmr::memory_resource& other) const noexcept {
  return this == &other;
}

bool LeakCheckingResource::close() {
  std::lock_guard lock(mutex_);
  const detail::BlockRecord* const begin = table_.slotsBegin();
  const detail::BlockRecord* const end = table_.slotsEnd();
  std::size_t live = 0;
  for (const detail::BlockRecord* r = begin; r != end; ++r) live += r->address != 0 && !r->freed;

  // Scratch memory for putting the records in allocation order and then in address order.
  const std::size_t count = table_.size();
  const std::size_t scratch_bytes = roundUpToPages(count * sizeof(Mapping));
  void* scratch = nullptr;
  if (count != 0) {
    (void)reserve_.retry([&] {
      scratch = mapAnonymous(scratch_bytes, PROT_READ | PROT_WRITE, MAP_POPULATE);
      return scratch == nullptr ? -1 : 0;
    });
  }

  // Leaks are reported in allocation order, before any page is returned, so that no mapping made
  // while reporting (symbolising maps the executable's tables) can land where a reported block
  // was.
  auto report = [](const detail::BlockRecord& r) {
    log("gpa", LogLevel::err,
        "memory address " + hexAddress(r.address) + " leaked: " + allocationStack(r));
  };
  if (live != 0 && scratch != nullptr) {
    auto* slot_of = static_cast<std::uint32_t*>(scratch);  // by sequence number
    for (const detail::BlockRecord* r = begin; r != end; ++r) {
      if (r->address != 0) slot_of[r->sequence] = static_cast<std::uint32_t>(r - begin);
    }
    for (std::size_t s = 0; s < count; ++s) {
      if (!begin[slot_of[s]].freed) report(begin[slot_of[s]]);
    }
  } else if (live != 0) {
    // No page to spare at all: find each next leak by a scan.
    std::uint64_t after = 0;
    for (std::size_t reported = 0; reported < live; ++reported) {
      const detail::BlockRecord* next = nullptr;
      for (const detail::BlockRecord* r = begin; r != end; ++r) {
        if (r->address != 0 && !r->freed && r->sequence >= after &&
            (next == nullptr || r->sequence < next->sequence)) {
          next = r;
        }
      }
      report(*next);
      after = next->sequence + 1;
    }
  }

  // Blocks mapped one after the other usually lie side by side: in address order, each run of
  // adjacent blocks is returned with one call.
  std::size_t not_unmapped = 0;
  int unmap_error = 0;
  auto unmap = [&](Mapping m) {
    if (!reserve_.retry([&] { return ::munmap(pointer(m.address), m.length); })) {
      ++not_unmapped;
      unmap_error = errno;
    }
  };
  if (scratch != nullptr) {
    auto* blocks = static_cast<Mapping*>(scratch);
    std::size_t n = 0;
    for (const detail::BlockRecord* r = begin; r != end; ++r) {
      if (r->address != 0) blocks[n++] = {r->address, r->map_length};
    }
    std::sort(blocks, blocks + n,
              [](const Mapping& a, const Mapping& b) { return a.address < b.address; });
    for (std::size_t i = 0; i < n;) {
      Mapping run = blocks[i++];
      while (i < n && blocks[i].address == run.address + run.length)
        run.length += blocks[i++].length;
      unmap(run);
    }
    ::munmap(scratch, scratch_bytes);
  } else {
    for (const detail::BlockRecord* r = begin; r != end; ++r) {
      if (r->address != 0) unmap({r->address, r->map_length});
    }
  }
  table_.release();
  reserve_.clear();
  if (not_unmapped != 0) {
    log("gpa", LogLevel::err,
        decimal(not_unmapped) + " blocks could not be returned to the operating system (" +
            std::strerror(unmap_error) + ")");
  }
  return live != 0;
}

}  // namespace selfcheck
