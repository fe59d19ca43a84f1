#include <selfcheck/cli.hpp>
#include <selfcheck/panic.hpp>

namespace selfcheck {

std::optional<std::uint32_t> parseSeed(std::string_view text) {
  unsigned base = 10;
  if (text.size() > 2 && text[0] == '0') {
    switch (text[1]) {
      case 'b': case 'B': base = 2; break;
      case 'o': case 'O': base = 8; break;
      case 'x': case 'X': base = 16; break;
      default: break;
    }
    if (base != 10) text.remove_prefix(2);
  }
  if (text.empty() || text.front() == '_' || text.back() == '_') return std::nullopt;
  std::uint64_t value = 0;
  for (char c : text) {
    if (c == '_') continue;
    unsigned digit;
    if (c >= '0' && c <= '9') digit = static_cast<unsigned>(c - '0');
    else if (c >= 'a' && c <= 'z') digit = static_cast<unsigned>(c - 'a') + 10;
    else if (c >= 'A' && c <= 'Z') digit = static_cast<unsigned>(c - 'A') + 10;
    else return std::nullopt;
    if (digit >= base) return std::nullopt;
    value = value * base + digit;
    if (value > 0xFFFFFFFFull) return std::nullopt;
  }
  return static_cast<std::uint32_t>(value);
}

Options parseCommandLine(int argc, const char* const* argv) {
  Options options;
  for (int i = 1; i < argc; ++i) {
    std::string_view arg = argv[i];
    if (arg == "--listen=-") {
      options.listen = true;
    } else if (arg.starts_with("--seed=")) {
      auto seed = parseSeed(arg.substr(7));
      if (!seed) panic("unable to parse --seed command line argument");
      options.random_seed = *seed;
    } else if (arg.starts_with("--cache-dir")) {
      // accepted; the value is not used
    } else {
      panic("unrecognized command line argument");
    }
  }
  return options;
}

}  // namespace selfcheck
