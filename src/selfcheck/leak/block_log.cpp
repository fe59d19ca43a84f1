#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <limits>
#include <pthread.h>
#include <sys/mman.h>
#include <sys/uio.h>
#include <unistd.h>

#include <selfcheck/leak/block_log.hpp>
#include <selfcheck/leak/pages.hpp>

namespace selfcheck::detail {
namespace {

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

struct PendingRecords {
  static constexpr std::size_t kCapacity = 64;
  std::size_t count;
  std::size_t sequence[kCapacity];
  BlockRecord record[kCapacity];
};

// After a fork the parent and the child share the file, so each copies what has been written to a
// file of its own before it changes anything.
bool BlockLog::copyFileAfterFork() noexcept {
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
  if (!copyFileAfterFork()) return false;
  if (pending_ == nullptr) {
    pending_ = static_cast<PendingRecords*>(mapGuarded(sizeof(PendingRecords)));
    if (pending_ == nullptr) return false;
    pending_->count = 0;
  }
  if (pending_->count == PendingRecords::kCapacity && !flush()) return false;
  // Without a file every record waits; the file is made by the first flush.
  if (file_ >= 0 && count_ == capacity_ && !grow(2 * capacity_)) return false;
  return true;
}

BlockRecord& BlockLog::queue(std::size_t sequence, const BlockRecord& record) noexcept {
  const std::size_t at = pending_->count++;
  pending_->sequence[at] = sequence;
  pending_->record[at] = record;
  return pending_->record[at];
}

std::size_t BlockLog::add(const BlockRecord& record) noexcept {
  (void)queue(count_, record);
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
    record = &queue(sequence, view_[sequence]);
  }
  record->freed = true;
  record->free_frame_count = static_cast<std::uint8_t>(frame_count);
  std::memcpy(record->free_frames, frames, frame_count * sizeof(void*));
  return true;
}

bool BlockLog::flush() noexcept {
  if (pending_ == nullptr || pending_->count == 0) return true;
  if (!copyFileAfterFork()) return false;
  // The first flush makes the file, large enough for every record: they all wait until then, and
  // at most kCapacity wait.
  static_assert(PendingRecords::kCapacity <= kFirstLogCapacity);
  if (file_ < 0 && !grow(kFirstLogCapacity)) return false;
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

}  // namespace selfcheck::detail
