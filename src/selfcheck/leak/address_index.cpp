#include <bit>
#include <cerrno>

#include <selfcheck/leak/address_index.hpp>
#include <selfcheck/leak/pages.hpp>

namespace selfcheck::detail {
namespace {

constexpr std::size_t kFirstIndexSlots = 1024;
constexpr std::size_t kMaxIndexSlots = std::size_t{1} << 40;

// The index's slot for a block address: block addresses are page aligned, so the page number is
// hashed (Fibonacci hashing into a power-of-two table).
std::size_t homeSlot(std::uintptr_t address, std::size_t slot_count) {
  const std::uint64_t h = static_cast<std::uint64_t>(address >> 12) * 0x9E3779B97F4A7C15ull;
  return static_cast<std::size_t>(h >> (64 - std::countr_zero(slot_count)));
}

}  // namespace

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

}  // namespace selfcheck::detail
