// Frames of several shapes for the fast stack capture's tests. Each level calls descend() for the
// rest of the pattern and does work after the call, so that no call becomes a jump.
#ifndef SELFCHECK_TESTS_FAST_UNWIND_FRAMES_HPP
#define SELFCHECK_TESTS_FAST_UNWIND_FRAMES_HPP

#include <cstddef>

namespace fast_unwind_test {

// Calls the level that pattern[at] names, or compares the captures when the pattern ends.
int descend(const char* pattern, std::size_t at);

// Compiled with frame pointers (fast_unwind_frames.cpp).
int levelFramePointer(const char* pattern, std::size_t at);
// A frame realigned to 64 bytes with a variable part: GCC addresses its CFA through an
// expression.
int levelRealigned(const char* pattern, std::size_t at);
// A value the compiler cannot see through.
int opaque(std::size_t value);

#if defined(__x86_64__)
// Calls fn with the stack pointer at top - 32, through a frame whose unwinding rules say where its
// caller's rsp was saved, and a frame that finds its return address 8 bytes above that CFA.
extern "C" void fastUnwindOnOtherStack(void (*fn)(), char* top);
#endif

}  // namespace fast_unwind_test

#endif
