// The leak-checking allocator's index from block address to record. Private to the allocator.
#ifndef SELFCHECK_LEAK_ADDRESS_INDEX_HPP
#define SELFCHECK_LEAK_ADDRESS_INDEX_HPP

#include <cstddef>
#include <cstdint>
#include <span>

namespace selfcheck::detail {

// From block address to sequence number: an open-addressing hash table in writable memory of its
// own. Only a hint: every answer is checked against the log, which alone is trusted.
class AddressIndex {
 public:
  AddressIndex() = default;
  AddressIndex(const AddressIndex&) = delete;
  AddressIndex& operator=(const AddressIndex&) = delete;
  ~AddressIndex() { release(); }

  // Makes room for one more entry; false (errno set, the index unchanged) otherwise.
  [[nodiscard]] bool reserveOne() noexcept;
  // Adds an entry, after reserveOne.
  void insert(std::uintptr_t address, std::size_t sequence) noexcept;
  // The sequence number stored for `address`, or kNone.
  [[nodiscard]] std::size_t lookup(std::uintptr_t address) const noexcept;
  void release() noexcept;

  // The table's memory, for a caller that is done with the index and needs scratch room before
  // release(): what it writes there replaces the entries. Empty when there is no table.
  [[nodiscard]] std::span<std::byte> memoryForScratch() noexcept {
    return {reinterpret_cast<std::byte*>(slots_), slot_count_ * sizeof(Entry)};
  }

  static constexpr std::size_t kNone = ~std::size_t{0};

 private:
  struct Entry {
    std::uintptr_t address;  // 0 for an empty slot
    std::size_t sequence;
  };
  Entry* slots_ = nullptr;
  std::size_t slot_count_ = 0;  // a power of two, at least 4/3 of count_
  std::size_t count_ = 0;
};

}  // namespace selfcheck::detail

#endif
