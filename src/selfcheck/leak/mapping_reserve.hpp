// The mappings the leak-checking allocator holds back for frees at the process's mapping limit.
// Private to the allocator.
#ifndef SELFCHECK_LEAK_MAPPING_RESERVE_HPP
#define SELFCHECK_LEAK_MAPPING_RESERVE_HPP

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <mutex>

namespace selfcheck::detail {

// Mappings held back for the process's limit on the number of mappings: at the limit, changing
// the protection of part of a mapping fails for want of a new one, and each held mapping given
// back makes room for exactly one. A free draws on them to protect a block's pages; an allocation
// is refused unless they can all be held again.
//
// The mapping limit is the process's, so one reserve serves every leak-checking resource: held
// from the first allocation on, refilled by the allocation after a free drew on it, and kept to the
// end of the process (inaccessible pages that reserve no memory), so that a check pays for it
// once, not at every start. Safe from several threads.
class MappingReserve {
 public:
  // The process's reserve.
  [[nodiscard]] static MappingReserve& ofProcess() noexcept;

  MappingReserve() = default;
  MappingReserve(const MappingReserve&) = delete;
  MappingReserve& operator=(const MappingReserve&) = delete;
  ~MappingReserve() { clear(); }

  // Holds every mapping of the reserve; false when the process cannot have that many more.
  [[nodiscard]] bool fill() noexcept;
  // Gives one held mapping back; false when none is left.
  [[nodiscard]] bool giveOneBack() noexcept;
  void clear() noexcept;

  // Runs `change` (a call that returns 0, or -1 with errno set) again while it fails with ENOMEM
  // and a held mapping can be given back. Returns whether it succeeded.
  template <class Change>
  [[nodiscard]] bool retry(Change change) noexcept {
    while (change() != 0) {
      if (errno != ENOMEM || !giveOneBack()) return false;
    }
    return true;
  }

 private:
  void unmapAll() noexcept;

  std::mutex mutex_;
  std::uintptr_t base_ = 0;  // 0 when nothing is held
  std::size_t next_ = 0;     // the next page to give back
};

}  // namespace selfcheck::detail

#endif
