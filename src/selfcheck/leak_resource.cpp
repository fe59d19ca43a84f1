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
#include <sys/uio.h>
#include <unistd.h>

#include <selfcheck/check_context.hpp>
#include <selfcheck/fast_unwind.hpp>
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

using Range = detail::BlockPages::Range;

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

// Writes `parts`, one after the other, at `offset` of the file; false with errno set otherwise.
// The parts are consumed; empty ones are skipped (nothing to write is no error).
bool writeAt(int file, iovec* parts, int count, std::size_t offset) {
  for (;;) {
    while (count > 0 && parts->iov_len == 0) {
      ++parts;
      --count;
    }
    if (count == 0) return true;
    const ssize_t n = ::pwritev(file, parts, count, static_cast<off_t>(offset));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (n == 0) errno = EIO;
      return false;
    }
    offset += static_cast<std::size_t>(n);
    for (auto left = static_cast<std::size_t>(n); left > 0;) {
      const std::size_t taken = std::min(left, parts->iov_len);
      parts->iov_base = static_cast<char*>(parts->iov_base) + taken;
      parts->iov_len -= taken;
      left -= taken;
      if (parts->iov_len == 0) {
        ++parts;
        --count;
      }
    }
  }
}

// Pages for the resource's own use, with an inaccessible page on each side, so that a check
// writing past the end of one of its blocks faults rather than running into them. nullptr (errno
// set) when they cannot be had. The guards are mapped without a reservation of memory, unlike
// blocks, so that they never merge with a freed block's pages: unmapping them then never needs a
// new mapping.
void* mapGuarded(std::size_t bytes) {
  const std::size_t page = pageSize();
  const std::size_t length = roundUpToPages(bytes);
  void* mapped = mapAnonymous(length + 2 * page, PROT_NONE, MAP_NORESERVE);
  if (mapped == nullptr) return nullptr;
  void* inside = static_cast<char*>(mapped) + page;
  if (::mprotect(inside, length, PROT_READ | PROT_WRITE) != 0) {
    const int error = errno;
    ::munmap(mapped, length + 2 * page);
    errno = error;
    return nullptr;
  }
  return inside;
}

void unmapGuarded(void* inside, std::size_t bytes) {
  const std::size_t page = pageSize();
  ::munmap(static_cast<char*>(inside) - page, roundUpToPages(bytes) + 2 * page);
}

// The reserve: pages alternately PROT_NONE and PROT_READ, so that each is a mapping of its own,
// between two pages that are never given back (they may merge with whatever is mapped beside).
constexpr std::size_t kReservePages = 65;
constexpr std::size_t kFirstHeld = 1;
constexpr std::size_t kLastHeld = kReservePages - 2;

// The index's slot for a block address: block addresses are page aligned, so the page number is
// hashed (Fibonacci hashing into a power-of-two table).
std::size_t homeSlot(std::uintptr_t address, std::size_t slot_count) {
  const std::uint64_t h = static_cast<std::uint64_t>(address >> 12) * 0x9E3779B97F4A7C15ull;
  return static_cast<std::size_t>(h >> (64 - std::countr_zero(slot_count)));
}

// Forks so far, counted in the parent and in the child. After a fork both share the record file,
// so each log copies it before its next change, and neither process changes what the other sees.
std::atomic<std::uint64_t> g_forks{0};
void countFork() noexcept { g_forks.fetch_add(1, std::memory_order_relaxed); }
std::uint64_t forksSoFar() noexcept {
  static const int registered = ::pthread_atfork(nullptr, countFork, countFork);
  (void)registered;
  return g_forks.load(std::memory_order_relaxed);
}

constexpr const char* kRecordFileName = "nemra leak-checking records";
constexpr std::size_t kFirstLogCapacity = 256;  // records
constexpr std::size_t kMaxLogCapacity =
    std::numeric_limits<std::size_t>::max() / 4 / sizeof(detail::BlockRecord);
constexpr std::size_t kFirstIndexSlots = 1024;
constexpr std::size_t kMaxIndexSlots = std::size_t{1} << 40;

// Blocks of up to kChunkBlockPages pages are cut from chunks of kChunkPages pages.
constexpr std::size_t kChunkPages = 256;
constexpr std::size_t kChunkBlockPages = 16;
// Retired pages are dropped once this many adjacent ones wait.
constexpr std::size_t kDropPages = 64;

std::size_t logBytes(std::size_t capacity) {
  return roundUpToPages(capacity * sizeof(detail::BlockRecord));
}

// A new record file of `bytes`, starting with the `length` bytes at `contents`, and its read-only
// view; -1 (errno set, nothing left open) when it cannot be had.
int makeRecordFile(std::size_t bytes, const void* contents, std::size_t length, void*& view) {
  const int file = ::memfd_create(kRecordFileName, MFD_CLOEXEC);
  if (file < 0) return -1;
  iovec all{const_cast<void*>(contents), length};
  view = MAP_FAILED;
  if (::ftruncate(file, static_cast<off_t>(bytes)) == 0 && writeAt(file, &all, 1, 0)) {
    view = ::mmap(nullptr, bytes, PROT_READ, MAP_SHARED, file, 0);
  }
  if (view == MAP_FAILED) {
    const int error = errno;
    ::close(file);
    errno = error;
    return -1;
  }
  return file;
}

}  // namespace

namespace detail {

struct PendingRecords {
  static constexpr std::size_t kCapacity = 64;
  std::size_t count;
  std::size_t sequence[kCapacity];
  BlockRecord record[kCapacity];
};

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

// After a fork the parent and the child share the file, so each copies what has been written to a
// file of its own before it changes anything.
bool BlockLog::ownFile() noexcept {
  if (file_ < 0 || forks_ == forksSoFar()) return true;
  void* view = nullptr;
  const int file = makeRecordFile(logBytes(capacity_), view_, written_ * sizeof(BlockRecord), view);
  if (file < 0) return false;
  ::munmap(const_cast<BlockRecord*>(view_), logBytes(capacity_));
  ::close(file_);
  file_ = file;
  view_ = static_cast<const BlockRecord*>(view);
  forks_ = forksSoFar();
  return true;
}

bool BlockLog::grow(std::size_t capacity) noexcept {
  if (capacity > kMaxLogCapacity) {
    errno = ENOMEM;
    return false;
  }
  void* view = nullptr;
  if (file_ < 0) {
    const int file = makeRecordFile(logBytes(capacity), nullptr, 0, view);
    if (file < 0) return false;
    file_ = file;
    forks_ = forksSoFar();
  } else {
    // A longer file than its view does no harm when the view cannot follow.
    if (::ftruncate(file_, static_cast<off_t>(logBytes(capacity))) != 0) return false;
    view = ::mremap(const_cast<BlockRecord*>(view_), logBytes(capacity_), logBytes(capacity),
                    MREMAP_MAYMOVE);
    if (view == MAP_FAILED) return false;
  }
  view_ = static_cast<const BlockRecord*>(view);
  capacity_ = capacity;
  return true;
}

bool BlockLog::reserveOne() noexcept {
  if (!ownFile()) return false;
  if (pending_ == nullptr) {
    pending_ = static_cast<PendingRecords*>(mapGuarded(sizeof(PendingRecords)));
    if (pending_ == nullptr) return false;
    pending_->count = 0;
  }
  if (pending_->count == PendingRecords::kCapacity && !flush()) return false;
  if (count_ == capacity_ && !grow(capacity_ == 0 ? kFirstLogCapacity : 2 * capacity_)) {
    return false;
  }
  return true;
}

BlockRecord& BlockLog::wait(std::size_t sequence, const BlockRecord& record) noexcept {
  const std::size_t at = pending_->count++;
  pending_->sequence[at] = sequence;
  pending_->record[at] = record;
  return pending_->record[at];
}

std::size_t BlockLog::add(const BlockRecord& record) noexcept {
  (void)wait(count_, record);
  return count_++;
}

// The newest waiting records are looked at first: a block is most often freed soon after its
// allocation.
const BlockRecord* BlockLog::waiting(std::size_t sequence) const noexcept {
  if (pending_ == nullptr) return nullptr;
  for (std::size_t i = pending_->count; i-- > 0;) {
    if (pending_->sequence[i] == sequence) return &pending_->record[i];
  }
  return nullptr;
}

const BlockRecord& BlockLog::get(std::size_t sequence) const noexcept {
  const BlockRecord* record = waiting(sequence);
  return record != nullptr ? *record : view_[sequence];
}

const BlockRecord* BlockLog::written(std::size_t sequence) const noexcept {
  return sequence < written_ && waiting(sequence) == nullptr ? &view_[sequence] : nullptr;
}

bool BlockLog::markFreed(std::size_t sequence, void* const* frames,
                         std::size_t frame_count) noexcept {
  auto* record = const_cast<BlockRecord*>(waiting(sequence));
  if (record == nullptr) {
    if (pending_->count == PendingRecords::kCapacity && !flush()) return false;
    record = &wait(sequence, view_[sequence]);
  }
  record->freed = true;
  record->free_frame_count = static_cast<std::uint8_t>(frame_count);
  std::memcpy(record->free_frames, frames, frame_count * sizeof(void*));
  return true;
}

bool BlockLog::flush() noexcept {
  if (pending_ == nullptr || pending_->count == 0) return true;
  if (!ownFile()) return false;
  // In sequence order (they mostly are already), so that each run of consecutive records is one
  // write; the buffer's order is left as it is.
  const std::size_t* const sequence = pending_->sequence;
  const std::size_t n = pending_->count;
  std::uint8_t order[PendingRecords::kCapacity];
  for (std::size_t i = 0; i < n; ++i) {
    std::size_t j = i;
    for (; j > 0 && sequence[order[j - 1]] > sequence[i]; --j) order[j] = order[j - 1];
    order[j] = static_cast<std::uint8_t>(i);
  }
  iovec parts[PendingRecords::kCapacity];
  for (std::size_t i = 0; i < n;) {
    std::size_t j = i;
    do {
      parts[j - i] = {&pending_->record[order[j]], sizeof(BlockRecord)};
      ++j;
    } while (j < n && sequence[order[j]] == sequence[order[j - 1]] + 1);
    if (!writeAt(file_, parts, static_cast<int>(j - i), sequence[order[i]] * sizeof(BlockRecord))) {
      return false;
    }
    i = j;
  }
  pending_->count = 0;
  written_ = count_;
  return true;
}

void BlockLog::release() noexcept {
  // Whole mappings of a file, which merge with nothing: unmapping them needs no new mapping.
  if (view_ != nullptr) ::munmap(const_cast<BlockRecord*>(view_), logBytes(capacity_));
  if (file_ >= 0) ::close(file_);
  if (pending_ != nullptr) unmapGuarded(pending_, sizeof(PendingRecords));
  file_ = -1;
  view_ = nullptr;
  capacity_ = 0;
  count_ = 0;
  written_ = 0;
  pending_ = nullptr;
}

bool AddressIndex::reserveOne() noexcept {
  if (4 * (count_ + 1) <= 3 * slot_count_) return true;  // at most three quarters full
  const std::size_t wanted = slot_count_ == 0 ? kFirstIndexSlots : 2 * slot_count_;
  if (wanted > kMaxIndexSlots) {
    errno = ENOMEM;
    return false;
  }
  auto* slots = static_cast<Entry*>(mapGuarded(wanted * sizeof(Entry)));
  if (slots == nullptr) return false;
  Entry* const old = slots_;
  const std::size_t old_count = slot_count_;
  slots_ = slots;
  slot_count_ = wanted;
  count_ = 0;
  for (std::size_t i = 0; i < old_count; ++i) {
    if (old[i].address != 0) insert(old[i].address, old[i].sequence);
  }
  if (old != nullptr) unmapGuarded(old, old_count * sizeof(Entry));
  return true;
}

// The index lies in writable memory: a probe never runs past the table's size, so that one damaged
// by a stray write costs a wrong hint, never a hang.
void AddressIndex::insert(std::uintptr_t address, std::size_t sequence) noexcept {
  const std::size_t mask = slot_count_ - 1;
  std::size_t slot = homeSlot(address, slot_count_);
  for (std::size_t probes = 1; slots_[slot].address != 0 && probes < slot_count_; ++probes) {
    slot = (slot + 1) & mask;
  }
  slots_[slot] = {address, sequence};
  ++count_;
}

std::size_t AddressIndex::lookup(std::uintptr_t address) const noexcept {
  if (slots_ == nullptr) return kNone;
  const std::size_t mask = slot_count_ - 1;
  std::size_t slot = homeSlot(address, slot_count_);
  for (std::size_t probes = 0; probes < slot_count_ && slots_[slot].address != 0; ++probes) {
    if (slots_[slot].address == address) return slots_[slot].sequence;
    slot = (slot + 1) & mask;
  }
  return kNone;
}

void AddressIndex::release() noexcept {
  if (slots_ != nullptr) unmapGuarded(slots_, slot_count_ * sizeof(Entry));
  slots_ = nullptr;
  slot_count_ = 0;
  count_ = 0;
}

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

}  // namespace detail

LeakCheckingResource::~LeakCheckingResource() { close(); }

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
  if (!reserve_.fill() || !log_.reserveOne() || !index_.reserveOne()) throw std::bad_alloc();
  const Range block = pages_.take(bytes, alignment);
  record.address = block.address;
  record.map_length = block.length;
  index_.insert(block.address, log_.add(record));
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
  (void)log_.flush();  // so that most records are read from the file; waiting ones are read too
  const std::size_t count = log_.size();

  // Leaks are reported in allocation order, before any page is returned, so that no mapping made
  // while reporting (symbolising maps the executable's tables) can land where a reported block
  // was.
  std::size_t live = 0;
  for (std::size_t sequence = 0; sequence < count; ++sequence) {
    const detail::BlockRecord& r = log_.get(sequence);
    if (r.freed) continue;
    ++live;
    log("gpa", LogLevel::err,
        "memory address " + hexAddress(r.address) + " leaked: " + allocationStack(r));
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
  const std::size_t scratch_bytes = roundUpToPages((count + 1) * sizeof(Range));
  void* scratch = nullptr;
  (void)reserve_.retry([&] {
    scratch = mapAnonymous(scratch_bytes, PROT_READ | PROT_WRITE);
    return scratch == nullptr ? -1 : 0;
  });
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
    ::munmap(scratch, scratch_bytes);
  } else {
    // No page to spare at all: one call for each block.
    for (std::size_t sequence = 0; sequence < count; ++sequence) {
      const detail::BlockRecord& r = log_.get(sequence);
      unmap({r.address, r.map_length});
    }
    if (unused.length != 0) unmap(unused);
  }
  log_.release();
  index_.release();
  pages_.reset();
  reserve_.clear();
  if (not_unmapped != 0) {
    log("gpa", LogLevel::err,
        decimal(not_unmapped) + " blocks could not be returned to the operating system (" +
            std::strerror(unmap_error) + ")");
  }
  return live != 0;
}

}  // namespace selfcheck
