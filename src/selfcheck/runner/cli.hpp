// The command line of the self-check program.
#ifndef SELFCHECK_RUNNER_CLI_HPP
#define SELFCHECK_RUNNER_CLI_HPP

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

namespace selfcheck {

struct Options {
  bool listen = false;            // "--listen=-": server mode
  std::uint32_t random_seed = 0;  // "--seed="
};

// Size of the buffer the arguments are copied into before they are read.
inline constexpr std::size_t kArgumentArenaSize = 8192;

// Bytes the arguments take in the arena: for every argument, the program name included, a view of
// it (16 bytes) and its characters with a terminating NUL. The command line fits when this is at
// most kArgumentArenaSize.
std::size_t argumentArenaBytes(int argc, const char* const* argv);

// Parses a seed value: decimal, or "0b"/"0o"/"0x" (either case) for bases 2, 8 and 16 when the
// value is longer than two characters; underscores are skipped where they stand between digits
// (the digits may neither begin nor end with one; "1__2" is 12). None for an empty value, a sign,
// any other character, or a value above 4294967295.
std::optional<std::uint32_t> parseSeed(std::string_view text);

// Copies argv[0..argc) into the arena ("unable to parse command line args" when they do not
// fit), then applies the rules to argv[1..argc) in order: "--listen=-" selects the server mode,
// "--seed=" sets the seed (a later one wins; "unable to parse --seed command line argument" when
// it does not parse), anything beginning with "--cache-dir" is accepted and unused, and anything
// else is "unrecognized command line argument". Every error is fatal (panic), after one line
// "{program}: {what was wrong}; it accepts --seed=<u32>, --listen=- and --cache-dir[=<path>]",
// where {program} is the last component of argv[0].
Options parseCommandLine(int argc, const char* const* argv);

}  // namespace selfcheck

#endif
