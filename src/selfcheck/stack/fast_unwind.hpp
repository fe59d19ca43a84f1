// Stack capture for hot paths: the leak-checking allocator records a call stack at every
// allocation and every free, and the same call sites recur endlessly.
#ifndef SELFCHECK_STACK_FAST_UNWIND_HPP
#define SELFCHECK_STACK_FAST_UNWIND_HPP

#include <cstddef>

namespace selfcheck {

// Stores exactly the frames captureFrames(out, capacity, skip) would store if called from the
// same place: the stack of the function that calls captureFramesFast, innermost first, leaving out
// the first `skip` frames; returns their number (at most `capacity`).
//
// On x86-64 Linux it walks the stack itself, with the unwinding rule of each return address
// computed once from the unwind tables and kept in a fixed, process-wide cache. A stack it cannot
// walk that way (a signal frame, a frame whose canonical frame address is not rsp or rbp plus an
// offset, a frame that restores its caller's rsp from a saved value, a frame outside the thread's
// stack, code without unwind tables) is captured through
// captureFrames instead, whole. Elsewhere it always calls captureFrames. It allocates nothing once
// a thread has used it (its first call on a thread asks for the thread's stack bounds, which may
// allocate) and is safe to call from several threads at once; it is not for signal handlers.
[[gnu::noinline]] std::size_t captureFramesFast(void** out, std::size_t capacity,
                                                std::size_t skip) noexcept;
}  // namespace selfcheck

#endif
