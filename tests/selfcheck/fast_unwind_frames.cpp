// Built with -fno-omit-frame-pointer, unlike the rest of the test.
#include "fast_unwind_frames.hpp"

namespace fast_unwind_test {

[[gnu::noinline]] int levelFramePointer(const char* pattern, std::size_t at) {
  volatile int local = opaque(at);
  return descend(pattern, at + 1) + local;
}

[[gnu::noinline]] int levelRealigned(const char* pattern, std::size_t at) {
  alignas(64) volatile char aligned[64];
  aligned[0] = static_cast<char>(at);
  auto* variable =
      static_cast<volatile char*>(__builtin_alloca(static_cast<std::size_t>(opaque(at) % 16 + 1)));
  variable[0] = aligned[0];
  return descend(pattern, at + 1) + variable[0];
}

[[gnu::noinline]] int opaque(std::size_t value) {
  asm volatile("" : "+r"(value));
  return static_cast<int>(value);
}

}  // namespace fast_unwind_test
