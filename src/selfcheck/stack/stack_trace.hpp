// Captured call stacks and their rendering on standard error.
//
// A frame is stored as the address of the instruction it is executing: the faulting instruction
// for the frame a signal interrupted, otherwise the return address minus one, so that a frame is
// attributed to the line of its call rather than to the line after it.
#ifndef SELFCHECK_STACK_STACK_TRACE_HPP
#define SELFCHECK_STACK_STACK_TRACE_HPP

#include <array>
#include <cstddef>
#include <string>
#include <string_view>

namespace selfcheck {

inline constexpr std::size_t kStackTraceFrames = 32;

// Up to kStackTraceFrames frames, innermost first. Capturing allocates nothing.
struct StackTrace {
  std::array<void*, kStackTraceFrames> frames{};
  std::size_t count = 0;
};

// Fills `out` with the stack of the function that calls captureFrames, innermost first (that
// function first), leaving out the first `skip` of those frames. Returns the number of frames
// stored (at most `capacity`). It allocates nothing and can be called from a signal handler.
std::size_t captureFrames(void** out, std::size_t capacity, std::size_t skip);

// The stack of the function that calls captureStackTrace (that function first), leaving out
// the first `skip` frames. Never inlined, so that its own frame is always there to leave out.
[[gnu::noinline]] StackTrace captureStackTrace(std::size_t skip = 0);

// Sets up what unwinding and symbolising need, so that a signal handler finds it ready; the
// executable's symbol and debug information is read later, on first use. Called at process
// start; safe to call again.
void initStackTraces();

// Renders frames one per line, each beginning with four spaces and "#":
//   "    #3 0x000055555555a1b2 in selfcheck::runCheck(...) at /src/selfcheck/run_loop.cpp:40"
// with demangled names and source positions where debug information allows, and the module and
// offset otherwise. A frame that debug information shows as inlined calls gives one line for each
// function, innermost first. Each line is handed to `sink` (without the newline) from a buffer
// that is reused for the next line.
//
// Rendering reads debug information through libbacktrace, which takes its memory with mmap, and
// allocates only to demangle names (abi::__cxa_demangle). Demangle::no renders names as the
// symbol table has them and allocates nothing, for a signal handler that cannot trust the heap.
using LineSink = void (*)(void* context, std::string_view line);
enum class Demangle : bool { no, yes };
void renderFrames(void* const* frames, std::size_t count, LineSink sink, void* context,
                  Demangle demangle = Demangle::yes);

// The same, as text with a newline after every line.
std::string renderFrames(void* const* frames, std::size_t count);

inline std::string render(const StackTrace& trace) {
  return renderFrames(trace.frames.data(), trace.count);
}

}  // namespace selfcheck

#endif
