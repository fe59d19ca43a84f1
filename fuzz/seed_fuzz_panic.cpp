// Stands in for the runner's selfcheck::panic and selfcheck::writeStderr in the seed fuzz target,
// which compiles cli.cpp by itself (so the parser carries the coverage instrumentation) without
// the rest of the runner. cli.cpp calls them only from parseCommandLine, which the target never
// calls.
#include <cstdio>
#include <cstdlib>
#include <string_view>

#include <selfcheck/check/panic.hpp>
#include <selfcheck/writer/stderr_writer.hpp>

namespace selfcheck {

void panic(std::string_view message) {
  std::fprintf(stderr, "seed fuzz: unexpected panic: %.*s\n", static_cast<int>(message.size()),
               message.data());
  std::abort();
}

void writeStderr(std::string_view text) {
  std::fprintf(stderr, "%.*s", static_cast<int>(text.size()), text.data());
}

}  // namespace selfcheck
