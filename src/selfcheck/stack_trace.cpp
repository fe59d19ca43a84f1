#include <execinfo.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <selfcheck/stack_trace.hpp>

namespace selfcheck {

std::size_t captureFrames(void** out, std::size_t capacity, std::size_t skip) {
  constexpr std::size_t kMax = 128;
  void* buffer[kMax];
  int got = ::backtrace(buffer, static_cast<int>(kMax));
  std::size_t have = got > 0 ? static_cast<std::size_t>(got) : 0;
  std::size_t start = skip + 1;  // this function's own frame
  std::size_t n = 0;
  for (std::size_t i = start; i < have && n < capacity; ++i) out[n++] = buffer[i];
  return n;
}

std::string renderFrames(void* const* frames, std::size_t count) {
  std::string out;
  std::unique_ptr<char*, void (*)(void*)> symbols(
      ::backtrace_symbols(frames, static_cast<int>(count)), std::free);
  for (std::size_t i = 0; i < count; ++i) {
    char line[64];
    std::snprintf(line, sizeof line, "    #%zu %p", i, frames[i]);
    out += line;
    if (symbols) {
      out += " in ";
      out += symbols.get()[i];
    }
    out += '\n';
  }
  return out;
}

}  // namespace selfcheck
