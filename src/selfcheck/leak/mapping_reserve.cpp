#include <sys/mman.h>

#include <selfcheck/leak/mapping_reserve.hpp>
#include <selfcheck/leak/pages.hpp>

namespace selfcheck::detail {
namespace {

// The reserve: pages alternately PROT_NONE and PROT_READ, so that each is a mapping of its own,
// between two pages that are never given back (they may merge with whatever is mapped beside).
constexpr std::size_t kReservePages = 65;
constexpr std::size_t kFirstHeld = 1;
constexpr std::size_t kLastHeld = kReservePages - 2;

}  // namespace

MappingReserve& MappingReserve::ofProcess() noexcept {
  static MappingReserve reserve;
  return reserve;
}

bool MappingReserve::fill() noexcept {
  std::lock_guard lock(mutex_);
  if (base_ != 0 && next_ == kFirstHeld) return true;
  unmapAll();
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
  std::lock_guard lock(mutex_);
  if (base_ == 0 || next_ > kLastHeld) return false;
  const std::size_t page = pageSize();
  ::munmap(pointer(base_ + next_ * page), page);  // a whole mapping: needs no new one
  ++next_;
  return true;
}

void MappingReserve::clear() noexcept {
  std::lock_guard lock(mutex_);
  unmapAll();
}

void MappingReserve::unmapAll() noexcept {
  if (base_ == 0) return;
  ::munmap(pointer(base_), kReservePages * pageSize());
  base_ = 0;
  next_ = 0;
}

}  // namespace selfcheck::detail
