// An independent reading of the --seed value rules, used as the oracle for selfcheck::parseSeed by
// the randomised test and by the fuzz target.
//
// The rules: decimal by default; a value longer than two characters that starts with 0 followed by
// b, o or x (either case) is read in base 2, 8 or 16; underscores between digits are skipped, but
// the digits may not begin or end with one; an empty value, a sign, any other character or a value
// above 4294967295 is rejected.
//
// The runner's parser folds digits into an accumulator one by one. This one validates the shape
// first, then hands the underscore-free digits to std::from_chars, so the two share no code path
// beyond the prefix rule itself.
#ifndef NEMRA_FUZZ_SEED_REFERENCE_HPP
#define NEMRA_FUZZ_SEED_REFERENCE_HPP

#include <charconv>      // std::from_chars
#include <cstdint>       // std::uint32_t, std::uint64_t
#include <limits>        // std::numeric_limits
#include <optional>      // std::optional
#include <string>        // std::string
#include <string_view>   // std::string_view
#include <system_error>  // std::errc

namespace nemra_fuzz {

// 2, 8 or 16 for a recognised base prefix, 10 otherwise.
constexpr int seedBase(std::string_view text) {
  if (text.size() <= 2 || text[0] != '0') return 10;
  switch (text[1] | 0x20) {  // ASCII lower case; maps no other character onto b, o or x
    case 'b':
      return 2;
    case 'o':
      return 8;
    case 'x':
      return 16;
    default:
      return 10;
  }
}

inline std::optional<std::uint32_t> referenceParseSeed(std::string_view text) {
  const int base = seedBase(text);
  const std::string_view digits = base == 10 ? text : text.substr(2);
  if (digits.empty() || digits.front() == '_' || digits.back() == '_') return std::nullopt;

  std::string compact;
  compact.reserve(digits.size());
  for (char c : digits) {
    if (c != '_') compact.push_back(c);
  }
  // For an unsigned target from_chars accepts no sign, no prefix and no blank: exactly a run of
  // digits of the base, in either case for letters.
  std::uint64_t value = 0;
  const char* const end = compact.data() + compact.size();
  const auto [stop, error] = std::from_chars(compact.data(), end, value, base);
  if (error != std::errc{} || stop != end) return std::nullopt;  // bad character or > 2^64 − 1
  if (value > std::numeric_limits<std::uint32_t>::max()) return std::nullopt;
  return static_cast<std::uint32_t>(value);
}

}  // namespace nemra_fuzz

#endif
