#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <selfcheck/runner/cli.hpp>

namespace {

using selfcheck::parseSeed;

TEST(SeedSyntax, DecimalAndPrefixedBases) {
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

TEST(SeedSyntax, PrefixNeedsAtLeastOneDigitAfterIt) {
  // Two characters are read as decimal, where b, o and x are not digits.
  EXPECT_EQ(parseSeed("0x"), std::nullopt);
  EXPECT_EQ(parseSeed("0b"), std::nullopt);
  EXPECT_EQ(parseSeed("0o"), std::nullopt);
  EXPECT_EQ(parseSeed("0X"), std::nullopt);
}

TEST(SeedSyntax, UnderscoresOnlyBetweenDigits) {
  EXPECT_EQ(parseSeed("4_294_967_295"), 4294967295u);
  EXPECT_EQ(parseSeed("1__2"), 12u);
  EXPECT_EQ(parseSeed("0x_1"), std::nullopt);
  EXPECT_EQ(parseSeed("0x1_"), std::nullopt);
  EXPECT_EQ(parseSeed("_1"), std::nullopt);
  EXPECT_EQ(parseSeed("1_"), std::nullopt);
  EXPECT_EQ(parseSeed("_"), std::nullopt);
  EXPECT_EQ(parseSeed("0_1"), 1u);
}

TEST(SeedSyntax, RangeIsThatOfAnUnsigned32BitInteger) {
  EXPECT_EQ(parseSeed("4294967295"), 4294967295u);
  EXPECT_EQ(parseSeed("4294967296"), std::nullopt);
  EXPECT_EQ(parseSeed("0xFFFFFFFF"), 4294967295u);
  EXPECT_EQ(parseSeed("0x100000000"), std::nullopt);
  EXPECT_EQ(parseSeed("0b" + std::string(32, '1')), 4294967295u);
  EXPECT_EQ(parseSeed("0b1" + std::string(32, '0')), std::nullopt);
  EXPECT_EQ(parseSeed("18446744073709551617"), std::nullopt) << "no wrap through 64 bits";
}

TEST(SeedSyntax, NoSignsSpacesOrForeignDigits) {
  for (const char* bad : {"", "-1", "+1", " 1", "1 ", "1e3", "0b2", "0o8", "0xg", "12a", "٣"}) {
    EXPECT_EQ(parseSeed(bad), std::nullopt) << '"' << bad << '"';
  }
}

TEST(CommandLineArena, EveryArgumentTakesAViewAndItsCharactersWithANul) {
  const char* argv[] = {"prog", "--seed=1", ""};
  EXPECT_EQ(selfcheck::argumentArenaBytes(3, argv), (16 + 5) + (16 + 9) + (16 + 1));
  EXPECT_EQ(selfcheck::argumentArenaBytes(0, nullptr), 0u);
}

TEST(CommandLine, LaterSeedWinsAndListenIsRecorded) {
  const char* argv[] = {"prog", "--seed=5", "--cache-dir=/x", "--seed=0x10", "--listen=-"};
  const selfcheck::Options options = selfcheck::parseCommandLine(5, argv);
  EXPECT_EQ(options.random_seed, 16u);
  EXPECT_TRUE(options.listen);
  EXPECT_FALSE(selfcheck::parseCommandLine(1, argv).listen);
  EXPECT_EQ(selfcheck::parseCommandLine(0, nullptr).random_seed, 0u);
}

}  // namespace
