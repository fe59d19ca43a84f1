// Stands in for the runner's selfcheck::panic in the seed fuzz target, which compiles cli.cpp by
// itself (so the parser carries the coverage instrumentation) without the rest of the runner.
// cli.cpp calls panic only from parseCommandLine, which the target never calls.
#include <cstdio>
#include <cstdlib>
#include <string_view>

#include <selfcheck/panic.hpp>

namespace selfcheck {

void panic(std::string_view message) {
  std::fprintf(stderr, "seed fuzz: unexpected panic: %.*s\n", static_cast<int>(message.size()),
               message.data());
  std::abort();
}

}  // namespace selfcheck
