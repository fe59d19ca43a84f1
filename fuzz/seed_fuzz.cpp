// Fuzz target for the --seed value parser (selfcheck::parseSeed).
//
// libFuzzer entry point; built with clang and -fsanitize=fuzzer it explores on its own, and with
// any other compiler standalone_main.cpp drives it (corpus replay, then seeded mutations). Any
// input on which the parser disagrees with the independent reference of the test suite, or
// accepts a value that does not read back from its own decimal and hexadecimal rendering, aborts.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string_view>

#include <selfcheck/runner/cli.hpp>

#include "seed_reference.hpp"

namespace {

[[noreturn]] void fail(std::string_view what, std::string_view input) {
  std::fprintf(stderr, "seed fuzz: %.*s on %zu bytes:", static_cast<int>(what.size()), what.data(),
               input.size());
  for (char c : input)
    std::fprintf(stderr, " %02x", static_cast<unsigned>(static_cast<unsigned char>(c)));
  std::fprintf(stderr, "\n");
  std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const std::optional<std::uint32_t> got = selfcheck::parseSeed(text);
  if (got != nemra_fuzz::referenceParseSeed(text)) fail("parser and reference disagree", text);
  if (got) {
    char buffer[32];
    const int decimal = std::snprintf(buffer, sizeof buffer, "%u", static_cast<unsigned>(*got));
    if (selfcheck::parseSeed(std::string_view(buffer, static_cast<std::size_t>(decimal))) != got) {
      fail("accepted value does not read back in decimal", text);
    }
    const int hex = std::snprintf(buffer, sizeof buffer, "0x%X", static_cast<unsigned>(*got));
    if (selfcheck::parseSeed(std::string_view(buffer, static_cast<std::size_t>(hex))) != got) {
      fail("accepted value does not read back in hexadecimal", text);
    }
  }
  return 0;
}
