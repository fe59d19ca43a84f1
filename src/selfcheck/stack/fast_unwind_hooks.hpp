// What the tests of captureFramesFast use to look into its cache; nothing else calls these.
#ifndef SELFCHECK_STACK_FAST_UNWIND_HOOKS_HPP
#define SELFCHECK_STACK_FAST_UNWIND_HOOKS_HPP

#include <cstddef>

namespace selfcheck {

namespace detail {

// The number of cache slots in use, a power of two between 1 and the cache's size (others are
// rounded down into that range); returns the previous number. Tests use it to make every capture
// evict entries. Safe at any time: a slot is used only for the return address it holds.
std::size_t setUnwindCacheSlots(std::size_t slots) noexcept;

// How many captures have gone through captureFrames instead of the stack walk, since the start.
std::size_t unwindFallbacks() noexcept;

}  // namespace detail

}  // namespace selfcheck

#endif
