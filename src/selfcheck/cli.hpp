// The command line of the self-check program.
#ifndef SELFCHECK_CLI_HPP
#define SELFCHECK_CLI_HPP

#include <cstdint>
#include <optional>
#include <string_view>

namespace selfcheck {

struct Options {
  bool listen = false;            // "--listen=-": server mode
  std::uint32_t random_seed = 0;  // "--seed="
};

// Parses a seed value: decimal, or "0b"/"0o"/"0x" (either case) for bases 2, 8 and 16 when the
// value is longer than two characters; underscores may stand between digits. None for anything
// else, or a value above 4294967295.
std::optional<std::uint32_t> parseSeed(std::string_view text);

// Applies the command-line rules to argv[1..argc); a bad argument is a fatal error.
Options parseCommandLine(int argc, const char* const* argv);

}  // namespace selfcheck

#endif
