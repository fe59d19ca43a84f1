#include <bit>
#include <cstdio>
#include <cstring>
#include <limits>
#include <new>
#include <string>
#include <sys/mman.h>
#include <unistd.h>

#include <selfcheck/leak_resource.hpp>
#include <selfcheck/log.hpp>
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

void* mapReadWrite(std::size_t length) {
  void* p = ::mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  return p == MAP_FAILED ? nullptr : p;
}

struct Mapping {
  std::uintptr_t address;
  std::uintptr_t base;
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
  void* mapped = mapReadWrite(total);
  if (mapped == nullptr) throw std::bad_alloc();
  const auto base = reinterpret_cast<std::uintptr_t>(mapped);
  const std::uintptr_t address = (base + alignment - 1) & ~(std::uintptr_t{alignment} - 1);
  if (address > base) ::munmap(mapped, address - base);
  const std::uintptr_t tail = address + length;
  if (tail < base + total) ::munmap(reinterpret_cast<void*>(tail), base + total - tail);
  return {address, address, length};
}

std::string hex(std::uintptr_t value) {
  char text[2 + 2 * sizeof value + 1];
  std::snprintf(text, sizeof text, "0x%lx", static_cast<unsigned long>(value));
  return text;
}

// A recorded call stack as it stands in a report: on the lines after the text before it.
std::string stackText(void* const* frames, std::size_t count) {
  if (count == 0) return "\n    (no frames recorded)\n";
  return "\n" + renderFrames(frames, count);
}

std::string allocationStack(const detail::BlockRecord& r) {
  return stackText(r.alloc_frames, r.alloc_frame_count);
}

}  // namespace

namespace detail {

BlockTable::~BlockTable() {
  if (records_ != nullptr) ::munmap(records_, capacity_ * sizeof(BlockRecord));
  if (index_ != nullptr) ::munmap(index_, index_slots_ * sizeof(std::uint32_t));
}

void BlockTable::beginUpdate() {
  if (records_ != nullptr) {
    ::mprotect(records_, capacity_ * sizeof(BlockRecord), PROT_READ | PROT_WRITE);
    ::mprotect(index_, index_slots_ * sizeof(std::uint32_t), PROT_READ | PROT_WRITE);
  }
}

void BlockTable::endUpdate() {
  if (records_ != nullptr) {
    ::mprotect(records_, capacity_ * sizeof(BlockRecord), PROT_READ);
    ::mprotect(index_, index_slots_ * sizeof(std::uint32_t), PROT_READ);
  }
}

namespace {

std::size_t slotOf(std::uintptr_t address, std::size_t slots) {
  // Block addresses are page aligned: hash the page number.
  std::uint64_t h = static_cast<std::uint64_t>(address >> 12) * 0x9E3779B97F4A7C15ull;
  return static_cast<std::size_t>(h >> 32) & (slots - 1);
}

}  // namespace

bool BlockTable::grow() {
  // Record storage is whole pages; the index keeps at least two slots per record.
  const std::size_t new_bytes =
      roundUpToPages(std::max<std::size_t>(capacity_ * 2, 64) * sizeof(BlockRecord));
  const std::size_t new_capacity = new_bytes / sizeof(BlockRecord);
  const std::size_t new_slots = std::bit_ceil(new_capacity * 2);
  void* records;
  if (records_ == nullptr) {
    records = mapReadWrite(new_bytes);
  } else {
    records = ::mremap(records_, capacity_ * sizeof(BlockRecord), new_bytes, MREMAP_MAYMOVE);
    if (records == MAP_FAILED) records = nullptr;
  }
  if (records == nullptr) return false;
  records_ = static_cast<BlockRecord*>(records);
  capacity_ = new_capacity;
  void* index = mapReadWrite(new_slots * sizeof(std::uint32_t));
  if (index == nullptr) return false;  // the old index stays; it is still complete
  if (index_ != nullptr) ::munmap(index_, index_slots_ * sizeof(std::uint32_t));
  index_ = static_cast<std::uint32_t*>(index);
  index_slots_ = new_slots;
  for (std::size_t i = 0; i < count_; ++i) insertIndex(static_cast<std::uint32_t>(i));
  return true;
}

void BlockTable::insertIndex(std::uint32_t record_number) {
  std::size_t slot = slotOf(records_[record_number].address, index_slots_);
  while (index_[slot] != 0) slot = (slot + 1) & (index_slots_ - 1);
  index_[slot] = record_number + 1;
}

BlockRecord* BlockTable::add(const BlockRecord& record) {
  // grow() either makes room in both or returns false.
  if ((count_ == capacity_ || 2 * (count_ + 1) > index_slots_) && !grow()) return nullptr;
  records_[count_] = record;
  insertIndex(static_cast<std::uint32_t>(count_));
  return &records_[count_++];
}

BlockRecord* BlockTable::find(std::uintptr_t address) const {
  if (index_ == nullptr) return nullptr;
  for (std::size_t slot = slotOf(address, index_slots_); index_[slot] != 0;
       slot = (slot + 1) & (index_slots_ - 1)) {
    BlockRecord* record = &records_[index_[slot] - 1];
    if (record->address == address) return record;
  }
  return nullptr;
}

void BlockTable::clear() {
  count_ = 0;
  if (index_ != nullptr) std::memset(index_, 0, index_slots_ * sizeof(std::uint32_t));
}

}  // namespace detail

LeakCheckingResource::~LeakCheckingResource() { close(); }

void* LeakCheckingResource::do_allocate(std::size_t bytes, std::size_t alignment) {
  detail::BlockRecord record{};
  record.size = bytes;
  record.alignment = alignment;
  record.alloc_frame_count =
      static_cast<std::uint8_t>(captureFrames(record.alloc_frames, detail::kRecordedFrames, 1));
  Mapping mapping = mapBlock(bytes, alignment);
  record.address = mapping.address;
  record.map_base = mapping.base;
  record.map_length = mapping.length;
  bool added;
  {
    std::lock_guard lock(mutex_);
    table_.beginUpdate();
    added = table_.add(record) != nullptr;
    table_.endUpdate();
  }
  if (!added) {
    ::munmap(reinterpret_cast<void*>(mapping.base), mapping.length);
    throw std::bad_alloc();
  }
  return reinterpret_cast<void*>(mapping.address);
}

void LeakCheckingResource::do_deallocate(void* p, std::size_t bytes, std::size_t alignment) {
  void* frames[detail::kRecordedFrames];
  const std::size_t frame_count = captureFrames(frames, detail::kRecordedFrames, 1);
  const auto address = reinterpret_cast<std::uintptr_t>(p);

  enum class Kind { freed, double_free, unknown } kind;
  detail::BlockRecord record{};  // a copy, to report from outside the lock
  {
    std::lock_guard lock(mutex_);
    detail::BlockRecord* found = table_.find(address);
    if (found == nullptr) {
      kind = Kind::unknown;
    } else if (found->freed) {
      kind = Kind::double_free;
      record = *found;
    } else {
      kind = Kind::freed;
      // The pages stay reserved but unusable until close(); their contents are dropped now.
      ::mprotect(reinterpret_cast<void*>(found->map_base), found->map_length, PROT_NONE);
      ::madvise(reinterpret_cast<void*>(found->map_base), found->map_length, MADV_DONTNEED);
      table_.beginUpdate();
      found->freed = true;
      found->free_frame_count = static_cast<std::uint8_t>(frame_count);
      std::memcpy(found->free_frames, frames, sizeof frames);
      table_.endUpdate();
      record = *found;
    }
  }

  switch (kind) {
    case Kind::unknown:
      log("gpa", LogLevel::err,
          "Invalid free of address " + hex(address) +
              ": no block of this allocator starts there. Free: " + stackText(frames, frame_count));
      return;
    case Kind::double_free:
      log("gpa", LogLevel::err,
          "Double free detected. Allocation: " + allocationStack(record) +
              " First free: " + stackText(record.free_frames, record.free_frame_count) +
              " Second free: " + stackText(frames, frame_count));
      return;
    case Kind::freed:
      if (bytes != record.size) {
        log("gpa", LogLevel::err,
            "Allocation size " + std::to_string(record.size) + " bytes does not match free size " +
                std::to_string(bytes) + ". Allocation: " + allocationStack(record) +
                " Free: " + stackText(frames, frame_count));
      }
      if (alignment != record.alignment) {
        log("gpa", LogLevel::err,
            "Allocation alignment " + std::to_string(record.alignment) +
                " does not match free alignment " + std::to_string(alignment) + ". Allocation: " +
                allocationStack(record) + " Free: " + stackText(frames, frame_count));
      }
      return;
  }
}

bool LeakCheckingResource::do_is_equal(const std::pmr::memory_resource& other) const noexcept {
  return this == &other;
}

bool LeakCheckingResource::close() {
  // Reported before any page is returned, so that no mapping made while reporting (symbolising
  // maps the executable's tables) can land where a reported block was.
  std::lock_guard lock(mutex_);
  bool leaked = false;
  for (const detail::BlockRecord& record : table_) {
    if (record.freed) continue;
    leaked = true;
    log("gpa", LogLevel::err,
        "memory address " + hex(record.address) + " leaked: " + allocationStack(record));
  }
  for (const detail::BlockRecord& record : table_) {
    ::munmap(reinterpret_cast<void*>(record.map_base), record.map_length);
  }
  table_.beginUpdate();
  table_.clear();
  table_.endUpdate();
  return leaked;
}

}  // namespace selfcheck
