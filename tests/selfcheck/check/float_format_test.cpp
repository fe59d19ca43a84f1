#include <bit>
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <random>
#include <regex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <selfcheck/check/float_format.hpp>

namespace {

using selfcheck::formatFloat;

TEST(FloatFormat, PrintsShortestScientificForm) {
  EXPECT_EQ(formatFloat(1.0), "1e0");
  EXPECT_EQ(formatFloat(0.6), "6e-1");
  EXPECT_EQ(formatFloat(1e-10), "1e-10");
  EXPECT_EQ(formatFloat(2.0), "2e0");
  EXPECT_EQ(formatFloat(1.5707963267948966), "1.5707963267948966e0");
  EXPECT_EQ(formatFloat(0.1 + 0.2), "3.0000000000000004e-1");
  EXPECT_EQ(formatFloat(123456.0), "1.23456e5");
  EXPECT_EQ(formatFloat(1e5f), "1e5");
  EXPECT_EQ(formatFloat(0.1f), "1e-1");
  EXPECT_EQ(formatFloat(16777216.0f), "1.6777216e7");
}

TEST(FloatFormat, FloatUsesItsOwnWidthNotDouble) {
  // 0.1f is 0.100000001490116119384765625: as a double it would need 9 digits and more.
  EXPECT_EQ(formatFloat(0.1f), "1e-1");
  EXPECT_EQ(formatFloat(static_cast<double>(0.1f)), "1.0000000149011612e-1");
}

TEST(FloatFormat, NonFiniteAndSignedZero) {
  EXPECT_EQ(formatFloat(std::numeric_limits<double>::infinity()), "inf");
  EXPECT_EQ(formatFloat(-std::numeric_limits<double>::infinity()), "-inf");
  EXPECT_EQ(formatFloat(std::numeric_limits<double>::quiet_NaN()), "nan");
  EXPECT_EQ(formatFloat(-std::numeric_limits<double>::quiet_NaN()), "nan");
  EXPECT_EQ(formatFloat(std::numeric_limits<float>::infinity()), "inf");
  EXPECT_EQ(formatFloat(-std::numeric_limits<float>::quiet_NaN()), "nan");
  EXPECT_EQ(formatFloat(0.0), "0e0");
  EXPECT_EQ(formatFloat(-0.0), "-0e0");
  EXPECT_EQ(formatFloat(-0.0f), "-0e0");
}

// The oracle: the fewest significant digits with which some decimal reads back (through
// strtod/strtof, at the value's own width) to exactly the value. At each precision it tries the
// correctly rounded decimal from printf and its two neighbours in the last digit, since near a
// power of two the rounding interval is lopsided and the nearest decimal may fall outside it while
// a neighbour does not.
template <class F>
F readBack(const char* text) {
  if constexpr (sizeof(F) == sizeof(float)) {
    return std::strtof(text, nullptr);
  } else {
    return std::strtod(text, nullptr);
  }
}

template <class F>
bool sameBits(F a, F b) {
  return std::bit_cast<std::conditional_t<sizeof(F) == 4, std::uint32_t, std::uint64_t>>(a) ==
         std::bit_cast<std::conditional_t<sizeof(F) == 4, std::uint32_t, std::uint64_t>>(b);
}

template <class F>
int oracleDigits(F value) {
  for (int digits = 1; digits <= 17; ++digits) {
    char text[64];
    std::snprintf(text, sizeof text, "%.*e", digits - 1, static_cast<double>(value));
    // Digits as an integer and the exponent of the last one.
    std::string mantissa;
    const char* p = text;
    if (*p == '-') ++p;
    for (; *p != 'e'; ++p) {
      if (*p != '.') mantissa += *p;
    }
    const int exponent = std::atoi(p + 1) - (digits - 1);
    const std::uint64_t m = std::strtoull(mantissa.c_str(), nullptr, 10);
    for (std::int64_t delta : {0, -1, 1}) {
      const auto candidate = static_cast<std::int64_t>(m) + delta;
      if (candidate <= 0) continue;
      char probe[64];
      std::snprintf(probe, sizeof probe, "%s%lde%d", value < 0 ? "-" : "",
                    static_cast<long>(candidate), exponent);
      if (sameBits(readBack<F>(probe), value)) return digits;
    }
  }
  return -1;
}

template <class F>
void expectShortestRoundTrip(F value, int& seventeen_or_nine) {
  const std::string text = formatFloat(value);
  SCOPED_TRACE(text);
  static const std::regex form("-?[1-9](\\.[0-9]*[1-9])?e(0|-?[1-9][0-9]*)");
  ASSERT_TRUE(std::regex_match(text, form));
  EXPECT_TRUE(sameBits(readBack<F>(text.c_str()), value)) << "does not read back";
  const std::size_t e = text.find('e');
  std::string digits = text.substr(0, e);
  std::erase(digits, '-');
  std::erase(digits, '.');
  const int oracle = oracleDigits(value);
  EXPECT_EQ(static_cast<int>(digits.size()), oracle);
  if (oracle == (sizeof(F) == 8 ? 17 : 9)) ++seventeen_or_nine;
}

template <class F>
std::vector<F> interestingValues() {
  using L = std::numeric_limits<F>;
  std::vector<F> values = {
      L::min(),     L::max(),    L::denorm_min(),
      L::epsilon(), L::lowest(), std::nextafter(L::min(), F(0)),  // largest subnormal
      F(1),         F(2),        F(0.5),
      F(0.1),       F(0.2),      F(0.3),
      F(1) / F(3)};
  for (int e = L::min_exponent10 - 1; e <= L::max_exponent10; ++e) {
    const F power = readBack<F>(("1e" + std::to_string(e)).c_str());
    if (power == 0 || std::isinf(power)) continue;
    values.push_back(power);
    values.push_back(std::nextafter(power, F(0)));
    values.push_back(std::nextafter(power, L::infinity()));
  }
  for (int e = L::min_exponent - L::digits; e < L::max_exponent; ++e) {
    values.push_back(std::ldexp(F(1), e));  // powers of two, subnormal ones included
  }
  std::mt19937_64 random(20240613);
  using Bits = std::conditional_t<sizeof(F) == 4, std::uint32_t, std::uint64_t>;
  for (int i = 0; i < 4000; ++i) {
    const F f = std::bit_cast<F>(static_cast<Bits>(random()));
    if (std::isfinite(f) && f != 0) values.push_back(f);
  }
  for (int i = 0; i < 500; ++i) {
    values.push_back(std::bit_cast<F>(static_cast<Bits>(random() % 0xfffff + 1)));  // subnormals
  }
  return values;
}

TEST(FloatFormat, DoubleMatchesTheShortestRoundTripOracle) {
  int needing_17 = 0;
  for (double value : interestingValues<double>()) {
    expectShortestRoundTrip(value, needing_17);
    expectShortestRoundTrip(-value, needing_17);
  }
  EXPECT_GT(needing_17, 0) << "the set must include values that need all 17 digits";
}

TEST(FloatFormat, FloatMatchesTheShortestRoundTripOracle) {
  int needing_9 = 0;
  for (float value : interestingValues<float>()) {
    expectShortestRoundTrip(value, needing_9);
    expectShortestRoundTrip(-value, needing_9);
  }
  EXPECT_GT(needing_9, 0) << "the set must include values that need all 9 digits";
}

}  // namespace
