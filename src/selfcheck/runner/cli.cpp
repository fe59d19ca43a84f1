#include <cstring>
#include <new>
#include <span>
#include <string>

#include <selfcheck/check/panic.hpp>
#include <selfcheck/runner/cli.hpp>
#include <selfcheck/writer/number_text.hpp>
#include <selfcheck/writer/stderr_writer.hpp>

namespace selfcheck {
namespace {

// The arguments as copied into a fixed buffer: first a table of views, then the characters of
// every argument, each followed by a NUL. The views point into the same buffer.
class ArgumentArena {
 public:
  // False when the arguments do not fit.
  bool copy(int argc, const char* const* argv) {
    if (argumentArenaBytes(argc, argv) > sizeof bytes_) return false;
    count_ = static_cast<std::size_t>(argc);
    auto* views = reinterpret_cast<std::string_view*>(bytes_);
    char* text = bytes_ + count_ * sizeof(std::string_view);
    for (std::size_t i = 0; i < count_; ++i) {
      std::size_t length = std::strlen(argv[i]);
      std::memcpy(text, argv[i], length + 1);
      new (&views[i]) std::string_view(text, length);
      text += length + 1;
    }
    return true;
  }
  std::span<const std::string_view> arguments() const {
    return {reinterpret_cast<const std::string_view*>(bytes_), count_};
  }

 private:
  alignas(std::string_view) char bytes_[kArgumentArenaSize];
  std::size_t count_ = 0;
};

// The line printed before each command-line fatal error names the program, what was wrong and
// the forms it accepts.
constexpr std::string_view kAcceptedForms =
    "it accepts --seed=<u32>, --listen=- and --cache-dir[=<path>]";

std::string_view programName(std::string_view argv0) {
  const std::size_t slash = argv0.rfind('/');
  if (slash != std::string_view::npos) argv0.remove_prefix(slash + 1);
  return argv0.empty() ? std::string_view("nemra-selfcheck") : argv0;
}

// An argument between quotes, its control bytes as \xNN so that they cannot act on a terminal.
std::string quoted(std::string_view argument) {
  std::string out = "'";
  for (char c : argument) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7f) {
      out += "\\x";
      out += hexDigits(byte, 2).view();
    } else {
      out += c;
    }
  }
  return out + "'";
}

[[noreturn]] void commandLineError(std::string_view program, const std::string& what,
                                   std::string_view panic_message) {
  writeStderr(std::string(programName(program)) + ": " + what + "; " + std::string(kAcceptedForms) +
              "\n");
  panic(panic_message);
}

}  // namespace

std::size_t argumentArenaBytes(int argc, const char* const* argv) {
  std::size_t total = 0;
  for (int i = 0; i < argc; ++i) total += sizeof(std::string_view) + std::strlen(argv[i]) + 1;
  return total;
}

std::optional<std::uint32_t> parseSeed(std::string_view text) {
  unsigned base = 10;
  if (text.size() > 2 && text[0] == '0') {
    switch (text[1]) {
      case 'b':
      case 'B':
        base = 2;
        break;
      case 'o':
      case 'O':
        base = 8;
        break;
      case 'x':
      case 'X':
        base = 16;
        break;
      default:
        break;
    }
    if (base != 10) text.remove_prefix(2);
  }
  if (text.empty() || text.front() == '_' || text.back() == '_') return std::nullopt;
  std::uint64_t value = 0;
  for (char c : text) {
    if (c == '_') continue;
    unsigned digit;
    if (c >= '0' && c <= '9') {
      digit = static_cast<unsigned>(c - '0');
    } else if (c >= 'a' && c <= 'z') {
      digit = static_cast<unsigned>(c - 'a') + 10;
    } else if (c >= 'A' && c <= 'Z') {
      digit = static_cast<unsigned>(c - 'A') + 10;
    } else {
      return std::nullopt;
    }
    if (digit >= base) return std::nullopt;
    value = value * base + digit;
    if (value > 0xFFFFFFFFu) return std::nullopt;
  }
  return static_cast<std::uint32_t>(value);
}

Options parseCommandLine(int argc, const char* const* argv) {
  Options options;
  const std::string_view program = argc > 0 ? argv[0] : "";
  {
    ArgumentArena arena;  // released at the end of this block
    if (!arena.copy(argc, argv)) {
      commandLineError(program,
                       "the arguments take " + std::to_string(argumentArenaBytes(argc, argv)) +
                           " bytes, more than the " + std::to_string(kArgumentArenaSize) +
                           " it has room for",
                       "unable to parse command line args");
    }
    std::span<const std::string_view> arguments = arena.arguments();
    if (!arguments.empty()) arguments = arguments.subspan(1);  // the program name
    for (std::string_view arg : arguments) {
      if (arg == "--listen=-") {
        options.listen = true;
      } else if (arg.starts_with("--seed=")) {
        auto seed = parseSeed(arg.substr(7));
        if (!seed) {
          commandLineError(program,
                           "bad seed in " + quoted(arg) +
                               " (an unsigned 32-bit number: decimal, or 0b, 0o or 0x and its "
                               "digits; _ only between digits)",
                           "unable to parse --seed command line argument");
        }
        options.random_seed = *seed;
      } else if (arg.starts_with("--cache-dir")) {
        // accepted; the value is not used
      } else {
        commandLineError(program, "unrecognized argument " + quoted(arg),
                         "unrecognized command line argument");
      }
    }
  }
  return options;
}

}  // namespace selfcheck
