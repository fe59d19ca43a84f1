#include <cstdint>
#include <limits>

#include <gtest/gtest.h>

#include <selfcheck/writer/number_text.hpp>

namespace {

using selfcheck::decimalDigits;
using selfcheck::hexDigits;

TEST(NumberText, HexIsLowercaseWithoutPrefixAndPaddedOnlyOnRequest) {
  EXPECT_EQ(hexDigits(0).view(), "0");
  EXPECT_EQ(hexDigits(0x81).view(), "81");
  EXPECT_EQ(hexDigits(0xdeadbeef).view(), "deadbeef");
  EXPECT_EQ(hexDigits(0xab, 16).view(), "00000000000000ab");
  EXPECT_EQ(hexDigits(0x123456, 4).view(), "123456") << "padding never cuts digits";
  EXPECT_EQ(hexDigits(std::numeric_limits<std::uint64_t>::max(), 16).view(), "ffffffffffffffff");
}

TEST(NumberText, DecimalHoldsEverySixtyFourBitValue) {
  EXPECT_EQ(decimalDigits(0).view(), "0");
  EXPECT_EQ(decimalDigits(std::numeric_limits<std::uint64_t>::max()).view(),
            "18446744073709551615");
  EXPECT_EQ(decimalDigits(std::numeric_limits<std::int64_t>::min()).view(), "-9223372036854775808");
}

}  // namespace
