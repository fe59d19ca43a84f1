// selfcheck::parseSeed against the rules for --seed values: a table of the edge cases, then a
// bounded randomised comparison with an independent reference parser over strings drawn from a
// grammar of valid and near-valid values.
#include <algorithm>
#include <cstdint>
#include <optional>
#include <random>
#include <seed_reference.hpp>
#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>

#include <selfcheck/runner/cli.hpp>

namespace {

using nemra_fuzz::referenceParseSeed;
using selfcheck::parseSeed;
using namespace std::string_view_literals;

constexpr std::uint32_t kMax = 4294967295u;

// Printable form of a test input for failure messages.
std::string show(std::string_view text) {
  std::string out = "\"";
  for (char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte >= 0x20 && byte < 0x7f && c != '"' && c != '\\') {
      out.push_back(c);
    } else {
      static constexpr char kHex[] = "0123456789abcdef";
      out += "\\x";
      out.push_back(kHex[byte >> 4]);
      out.push_back(kHex[byte & 15]);
    }
  }
  return out + "\"";
}

struct Case {
  std::string_view text;
  std::optional<std::uint32_t> expected;
};

// Expected values worked out from the rules by hand. Both parsers must agree with every row: a
// row that only the reference gets right is a bug in the runner, one that only the runner gets
// right is a bug in the oracle.
const Case kEdgeCases[] = {
    // Plain decimal, and its bounds.
    {"0", 0u},
    {"42", 42u},
    {"4294967295", kMax},
    {"4294967296", std::nullopt},
    {"99999999999999999999999", std::nullopt},  // beyond 64 bits too
    {"18446744073709551616", std::nullopt},     // exactly 2^64
    // Leading zeros are digits, however many.
    {"00", 0u},
    {"0000000000000000000000000000000000000000001", 1u},
    {"000000000000000000000004294967295", kMax},
    {"000000000000000000000004294967296", std::nullopt},
    // A prefix needs a third character; "0x" alone is a decimal string with a bad digit.
    {"0x", std::nullopt},
    {"0b", std::nullopt},
    {"0o", std::nullopt},
    {"0X", std::nullopt},
    {"0b1", 1u},
    {"0B1", 1u},
    {"0b0", 0u},
    {"0b11111111111111111111111111111111", kMax},
    {"0b111111111111111111111111111111111", std::nullopt},
    {"0o777", 511u},
    {"0O17", 15u},
    {"0o37777777777", kMax},
    {"0o40000000000", std::nullopt},
    {"0x1F", 31u},
    {"0X1f", 31u},
    {"0xFFFFFFFF", kMax},
    {"0xffffffff", kMax},
    {"0x100000000", std::nullopt},
    {"0x0000000000000000000000000000FFFFFFFF", kMax},
    {"0x10000000000000000000", std::nullopt},
    // Digits outside the base, and prefix letters where they do not belong.
    {"0b2", std::nullopt},
    {"0o8", std::nullopt},
    {"0xg", std::nullopt},
    {"1a", std::nullopt},
    {"0x0x1", std::nullopt},
    {"0_x1", std::nullopt},
    {"00x1", std::nullopt},
    {"1e3", std::nullopt},
    {"0d10", std::nullopt},
    // Underscores: skipped between digits, even several, never first or last.
    {"4_294_967_295", kMax},
    {"1__2", 12u},
    {"0_0", 0u},
    {"0_1", 1u},
    {"0b1_0", 2u},
    {"0x1_0000_0000", std::nullopt},
    {"0xFFFF_FFFF", kMax},
    {"_1", std::nullopt},
    {"1_", std::nullopt},
    {"_", std::nullopt},
    {"__", std::nullopt},
    {"0x_1", std::nullopt},
    {"0x1_", std::nullopt},
    {"0b_", std::nullopt},
    // Empty, signs, blanks and other bytes.
    {"", std::nullopt},
    {"+1", std::nullopt},
    {"-1", std::nullopt},
    {"-0", std::nullopt},
    {"0x+1", std::nullopt},
    {"0x-1", std::nullopt},
    {" 1", std::nullopt},
    {"1 ", std::nullopt},
    {"1\t", std::nullopt},
    {std::string_view("1\0", 2), std::nullopt},
    {std::string_view("\0", 1), std::nullopt},
    {"1.0", std::nullopt},
    {"\xef\xbc\x91", std::nullopt},  // a full-width digit one
};

TEST(SeedParse, DecimalAndPrefixedBases) {
  EXPECT_EQ(parseSeed("42"), 42u);
  EXPECT_EQ(parseSeed("0"), 0u);
  EXPECT_EQ(parseSeed("00"), 0u);
  EXPECT_EQ(parseSeed("0009"), 9u);
  EXPECT_EQ(parseSeed("0x1F"), 31u);
  EXPECT_EQ(parseSeed("0X1f"), 31u);
  EXPECT_EQ(parseSeed("0b101"), 5u);
  EXPECT_EQ(parseSeed("0B1"), 1u);
  EXPECT_EQ(parseSeed("0o17"), 15u);
  EXPECT_EQ(parseSeed("0O0"), 0u);
  EXPECT_EQ(parseSeed("0x0000000000000001"), 1u) << "leading zeros do not overflow";
}

TEST(SeedParse, PrefixNeedsAtLeastOneDigitAfterIt) {
  // Two characters are read as decimal, where b, o and x are not digits.
  EXPECT_EQ(parseSeed("0x"), std::nullopt);
  EXPECT_EQ(parseSeed("0b"), std::nullopt);
  EXPECT_EQ(parseSeed("0o"), std::nullopt);
  EXPECT_EQ(parseSeed("0X"), std::nullopt);
}

TEST(SeedParse, UnderscoresOnlyBetweenDigits) {
  EXPECT_EQ(parseSeed("4_294_967_295"), 4294967295u);
  EXPECT_EQ(parseSeed("1__2"), 12u);
  EXPECT_EQ(parseSeed("0x_1"), std::nullopt);
  EXPECT_EQ(parseSeed("0x1_"), std::nullopt);
  EXPECT_EQ(parseSeed("_1"), std::nullopt);
  EXPECT_EQ(parseSeed("1_"), std::nullopt);
  EXPECT_EQ(parseSeed("_"), std::nullopt);
  EXPECT_EQ(parseSeed("0_1"), 1u);
}

TEST(SeedParse, RangeIsThatOfAnUnsigned32BitInteger) {
  EXPECT_EQ(parseSeed("4294967295"), 4294967295u);
  EXPECT_EQ(parseSeed("4294967296"), std::nullopt);
  EXPECT_EQ(parseSeed("0xFFFFFFFF"), 4294967295u);
  EXPECT_EQ(parseSeed("0x100000000"), std::nullopt);
  EXPECT_EQ(parseSeed("0b" + std::string(32, '1')), 4294967295u);
  EXPECT_EQ(parseSeed("0b1" + std::string(32, '0')), std::nullopt);
  EXPECT_EQ(parseSeed("18446744073709551617"), std::nullopt) << "no wrap through 64 bits";
}

TEST(SeedParse, NoSignsSpacesOrForeignDigits) {
  for (const char* bad : {"", "-1", "+1", " 1", "1 ", "1e3", "0b2", "0o8", "0xg", "12a", "٣"}) {
    EXPECT_EQ(parseSeed(bad), std::nullopt) << '"' << bad << '"';
  }
}

TEST(SeedParse, EdgeCasesFollowTheRules) {
  for (const Case& c : kEdgeCases) {
    EXPECT_EQ(parseSeed(c.text), c.expected) << "parseSeed(" << show(c.text) << ")";
    EXPECT_EQ(referenceParseSeed(c.text), c.expected) << "reference(" << show(c.text) << ")";
  }
}

// Draws seed strings from a small grammar. Most are built from a known number written in a known
// base, so their value is known independently of either parser; the rest are those strings with
// one or two damaging edits, or short strings over the characters the rules care about.
class SeedGrammar {
 public:
  explicit SeedGrammar(std::uint64_t seed) : rng_(seed) {}

  struct Sample {
    std::string text;
    // The value the string denotes when it was built by the grammar without edits and its value
    // fits; none when it must be rejected; unknown (not set) after an edit.
    bool known = false;
    std::optional<std::uint32_t> expected;
  };

  Sample next() {
    const unsigned kind = pick(10);
    if (kind < 5) return wellFormed();
    if (kind < 9) return damaged();
    return shortNoise();
  }

 private:
  unsigned pick(unsigned n) { return std::uniform_int_distribution<unsigned>(0, n - 1)(rng_); }
  bool chance(unsigned percent) { return pick(100) < percent; }

  std::uint64_t value() {
    switch (pick(6)) {
      case 0:
        return pick(16);
      case 1:  // around the top of the 32-bit range, on both sides
        return std::uint64_t{kMax} - 8 + pick(17);
      case 2:  // powers of two and their neighbours, up to 2^40
        return (std::uint64_t{1} << pick(41)) + pick(3) - 1;
      case 3:  // above the range by up to a factor of 16
        return std::uniform_int_distribution<std::uint64_t>(std::uint64_t{kMax} + 1,
                                                            std::uint64_t{kMax} * 16)(rng_);
      default:
        return std::uniform_int_distribution<std::uint64_t>(0, kMax)(rng_);
    }
  }

  Sample wellFormed() {
    static constexpr unsigned kBases[] = {2, 8, 10, 16};
    const unsigned base = kBases[pick(4)];
    const std::uint64_t n = value();

    std::string digits;
    for (std::uint64_t rest = n;; rest /= base) {
      const auto d = static_cast<unsigned>(rest % base);
      const char lower = static_cast<char>(d < 10 ? '0' + d : 'a' + (d - 10));
      const char upper = static_cast<char>(d < 10 ? '0' + d : 'A' + (d - 10));
      digits.push_back(chance(50) ? lower : upper);
      if (rest < base) break;
    }
    if (chance(25)) digits.append(1 + pick(30), '0');  // leading zeros (the string is reversed)
    std::reverse(digits.begin(), digits.end());

    // Underscore runs between digits.
    std::string body;
    for (std::size_t i = 0; i < digits.size(); ++i) {
      if (i > 0 && chance(15)) body.append(1 + pick(3), '_');
      body.push_back(digits[i]);
    }

    Sample s;
    if (base != 10) {
      static constexpr char kPrefix[][2] = {{'b', 'B'}, {'o', 'O'}, {'x', 'X'}};
      const unsigned which = base == 2 ? 0 : base == 8 ? 1 : 2;
      s.text = std::string("0") + kPrefix[which][pick(2)];
    }
    s.text += body;
    s.known = true;
    if (n <= kMax) s.expected = static_cast<std::uint32_t>(n);
    // A decimal string that happens to read "0b…", "0o…" or "0x…" cannot arise: decimal digits
    // contain none of those letters.
    return s;
  }

  Sample damaged() {
    static constexpr std::string_view kNasty = "_+- \t.xXbBoOgGzZ9281aFe\0\xff"sv;  // NUL included
    Sample s = wellFormed();
    const unsigned edits = 1 + pick(2);
    for (unsigned e = 0; e < edits; ++e) {
      const std::size_t size = s.text.size();
      const auto at = static_cast<std::size_t>(pick(static_cast<unsigned>(size) + 1));
      const char c = kNasty[pick(static_cast<unsigned>(kNasty.size()))];
      switch (pick(6)) {
        case 0:
          s.text.insert(at, 1, c);
          break;
        case 1:
          if (at < size) s.text[at] = c;
          break;
        case 2:
          if (at < size) s.text.erase(at, 1);
          break;
        case 3:
          s.text.insert(0, 1, chance(50) ? '_' : c);
          break;
        case 4:
          s.text.push_back('_');
          break;
        default:
          s.text.resize(std::min<std::size_t>(size, pick(4)));  // down to a bare prefix
          break;
      }
    }
    s.known = false;
    return s;
  }

  Sample shortNoise() {
    static constexpr std::string_view kAlphabet = "0019fFxXbBoO_+- ";
    Sample s;
    const unsigned length = pick(6);
    for (unsigned i = 0; i < length; ++i) s.text.push_back(kAlphabet[pick(16)]);
    return s;
  }

  std::mt19937_64 rng_;
};

TEST(SeedParse, AgreesWithTheReferenceOnGrammarDrawnStrings) {
  constexpr int kSamples = 100000;
  SeedGrammar grammar(0x5eed5eedULL);
  int accepted = 0;
  int rejected = 0;
  int known = 0;
  int failures = 0;
  for (int i = 0; i < kSamples && failures < 20; ++i) {
    const SeedGrammar::Sample s = grammar.next();
    const auto got = parseSeed(s.text);
    const auto want = referenceParseSeed(s.text);
    if (got != want) {
      ++failures;
      ADD_FAILURE() << "parseSeed and the reference disagree on " << show(s.text) << ": "
                    << (got ? std::to_string(*got) : "none") << " vs "
                    << (want ? std::to_string(*want) : "none");
    }
    if (s.known) {
      ++known;
      if (want != s.expected) {
        ++failures;
        ADD_FAILURE() << "the reference misreads the generated " << show(s.text);
      }
    }
    (want ? accepted : rejected) += 1;
  }
  // The comparison means something only when both outcomes are common.
  EXPECT_GT(accepted, kSamples / 5);
  EXPECT_GT(rejected, kSamples / 5);
  EXPECT_GT(known, kSamples / 3);
}

}  // namespace
