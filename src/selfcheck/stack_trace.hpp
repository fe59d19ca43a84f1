// Captured call stacks and their rendering on standard error.
#ifndef SELFCHECK_STACK_TRACE_HPP
#define SELFCHECK_STACK_TRACE_HPP

#include <array>
#include <cstddef>
#include <string>

namespace selfcheck {

// Up to Capacity return addresses, innermost first. Capturing allocates nothing.
template <std::size_t Capacity>
struct StackTraceOf {
  std::array<void*, Capacity> frames{};
  std::size_t count = 0;
};

using StackTrace = StackTraceOf<32>;

// Fills `out` with the return addresses of the caller's stack, skipping `skip` frames above the
// caller. Returns the number of frames stored.
std::size_t captureFrames(void** out, std::size_t capacity, std::size_t skip);

template <std::size_t Capacity>
StackTraceOf<Capacity> captureStackTrace(std::size_t skip = 0) {
  StackTraceOf<Capacity> trace;
  trace.count = captureFrames(trace.frames.data(), Capacity, skip + 1);
  return trace;
}

// Renders frames one per line ("    #0 0x... in function at file:line"), with demangled names
// and source positions where debug information allows.
std::string renderFrames(void* const* frames, std::size_t count);

template <std::size_t Capacity>
std::string render(const StackTraceOf<Capacity>& trace) {
  return renderFrames(trace.frames.data(), trace.count);
}

}  // namespace selfcheck

#endif
