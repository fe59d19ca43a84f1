#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <selfcheck/float_format.hpp>

namespace {

using selfcheck::formatFloat;

TEST(FloatFormat, PrintsShortestScientificForm) {
  EXPECT_EQ(formatFloat(1.0), "1e0");
  EXPECT_EQ(formatFloat(0.6), "6e-1");
  EXPECT_EQ(formatFloat(1e-10), "1e-10");
  EXPECT_EQ(formatFloat(2.0), "2e0");
  EXPECT_EQ(formatFloat(1.5707963267948966), "1.5707963267948966e0");
  EXPECT_EQ(formatFloat(1e5f), "1e5");
  EXPECT_EQ(formatFloat(0.1f), "1e-1");
}

TEST(FloatFormat, NonFiniteAndSignedZero) {
  EXPECT_EQ(formatFloat(std::numeric_limits<double>::infinity()), "inf");
  EXPECT_EQ(formatFloat(-std::numeric_limits<double>::infinity()), "-inf");
  EXPECT_EQ(formatFloat(std::numeric_limits<double>::quiet_NaN()), "nan");
  EXPECT_EQ(formatFloat(-0.0), "-0e0");
  EXPECT_EQ(formatFloat(-0.0f), "-0e0");
}

}  // namespace
