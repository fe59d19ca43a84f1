// Whole pages from the operating system, for the leak-checking allocator's blocks and for its own
// bookkeeping. Private to the allocator.
#ifndef SELFCHECK_LEAK_PAGES_HPP
#define SELFCHECK_LEAK_PAGES_HPP

#include <cstddef>
#include <cstdint>

namespace selfcheck::detail {

std::size_t pageSize();
std::size_t roundUpToPages(std::size_t bytes);
// An anonymous private mapping of `length` bytes, or nullptr (errno set).
void* mapAnonymous(std::size_t length, int protection, int extra_flags = 0);
inline void* pointer(std::uintptr_t address) { return reinterpret_cast<void*>(address); }

// Pages for the resource's own use, with an inaccessible page on each side, so that a check
// writing past the end of one of its blocks faults rather than running into them. nullptr (errno
// set) when they cannot be had. The guards are mapped without a reservation of memory, unlike
// blocks, so that they never merge with a freed block's pages: unmapping them then never needs a
// new mapping.
void* mapGuarded(std::size_t bytes);
void unmapGuarded(void* inside, std::size_t bytes);

}  // namespace selfcheck::detail

#endif
