// The leak-checking allocator handed to every check.
#ifndef SELFCHECK_LEAK_LEAK_RESOURCE_HPP
#define SELFCHECK_LEAK_LEAK_RESOURCE_HPP

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory_resource>
#include <mutex>

#include <selfcheck/leak/address_index.hpp>
#include <selfcheck/leak/block_log.hpp>
#include <selfcheck/leak/block_pages.hpp>
#include <selfcheck/leak/leak_report.hpp>
#include <selfcheck/leak/mapping_reserve.hpp>

namespace selfcheck {

// A std::pmr::memory_resource that gives every block whole pages of its own from the operating
// system (mmap), never handed out before, and records, for every block, its size, alignment and
// the call stack (at most 10 frames) of its allocation. Each operation costs the same whatever
// the number of blocks; most make one system call (the free's change of protection) or none.
//
// - A freed block's pages stay reserved and inaccessible (PROT_NONE) until close(), so a use
//   after free faults, and a second free of the same address is recognised as such rather than
//   confused with a newer block. A free whose pages cannot be protected is reported.
// - Misuse is reported as it happens, as err-level log lines "[gpa] (err): ..." written straight
//   to standard error (no heap needed) and counted in reportCount(): a double
//   free, and a free whose size or alignment differs from the allocation's (the block is then
//   freed all the same). A free of an address it never handed out is reported too.
// - close() reports every block still allocated ("memory address 0x{x} leaked: {stack}") in
//   allocation order, returns all pages, the records' included, to the operating system and
//   leaves the resource empty and usable again.
// - Sizes and alignments it cannot serve (overflow when rounding up to pages, an alignment that
//   is not a power of two, an exhausted address space) throw std::bad_alloc, and so does an
//   allocation near the process's limit on the number of mappings, which keeps room for frees.
// - Safe to use from several threads: every operation holds one mutex.
class LeakCheckingResource final : public std::pmr::memory_resource {
 public:
  LeakCheckingResource() = default;
  LeakCheckingResource(const LeakCheckingResource&) = delete;
  LeakCheckingResource& operator=(const LeakCheckingResource&) = delete;
  // Closes the resource (so a leak still gets reported).
  ~LeakCheckingResource() override;

  // Reports every block still allocated, releases all memory, and returns whether anything
  // leaked.
  bool close();

  // The reports made since the resource was built (misuse, leaks, failures), each an error.
  [[nodiscard]] std::uint64_t reportCount() const noexcept {
    return reports_.load(std::memory_order_relaxed);
  }

 private:
  // Counts a report and starts it.
  [[nodiscard]] detail::LeakReport report();

  void* do_allocate(std::size_t bytes, std::size_t alignment) override;
  void do_deallocate(void* p, std::size_t bytes, std::size_t alignment) override;
  bool do_is_equal(const std::pmr::memory_resource& other) const noexcept override;

  [[nodiscard]] std::size_t find(std::uintptr_t address) const noexcept;

  std::mutex mutex_;
  detail::BlockLog log_;
  detail::AddressIndex index_;
  detail::BlockPages pages_;
  detail::MappingReserve& reserve_ = detail::MappingReserve::ofProcess();
  std::atomic<std::uint64_t> reports_{0};
};

}  // namespace selfcheck

#endif
