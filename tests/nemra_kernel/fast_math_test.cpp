#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>

#include <gtest/gtest.h>

#include <nemra_kernel/fast_math.hpp>

namespace {

using nemra_kernel::cordicInvSqrt;
using nemra_kernel::f32x4;
using nemra_kernel::F32x4;
using nemra_kernel::simdDot4;
using nemra_kernel::simdNormalize3;

std::uint64_t bits(double x) { return std::bit_cast<std::uint64_t>(x); }
std::uint32_t bits(float x) { return std::bit_cast<std::uint32_t>(x); }

void expectLanes(F32x4 v, float x, float y, float z, float w) {
  EXPECT_EQ(bits(v[0]), bits(x));
  EXPECT_EQ(bits(v[1]), bits(y));
  EXPECT_EQ(bits(v[2]), bits(z));
  EXPECT_EQ(bits(v[3]), bits(w));
}

TEST(CordicInvSqrt, KnownValuesBitForBit) {
  EXPECT_EQ(bits(cordicInvSqrt(4.0)), bits(0.49999999998618955));
  EXPECT_EQ(bits(cordicInvSqrt(1.0)), bits(0.9999999999723791));
  EXPECT_EQ(bits(cordicInvSqrt(9.0)), bits(0.33333333333142373));
}

TEST(CordicInvSqrt, RelativeErrorBelowFourE11ForPositiveNormals) {
  const double mantissas[] = {1.0, 1.0000001, 1.1, 1.25, 1.4142135, 1.5, 1.7, 1.9, 1.9999999};
  double worst = 0;
  for (int e = std::numeric_limits<double>::min_exponent - 1;
       e < std::numeric_limits<double>::max_exponent; ++e) {
    for (double m : mantissas) {
      const double x = std::ldexp(m, e);
      if (!std::isnormal(x)) continue;
      const long double exact = 1.0L / std::sqrt(static_cast<long double>(x));
      const double rel = static_cast<double>(std::fabs((cordicInvSqrt(x) - exact) / exact));
      worst = std::fmax(worst, rel);
    }
  }
  EXPECT_LE(worst, 4e-11);
  EXPECT_GT(worst, 1e-12);  // the three steps are not a correctly rounded 1/√x
}

TEST(CordicInvSqrt, ZeroNegativeInfiniteAndNaNArguments) {
  constexpr double inf = std::numeric_limits<double>::infinity();
  for (double x : {0.0, -0.0, -4.0, -1e-300, -inf, inf}) {
    EXPECT_EQ(bits(cordicInvSqrt(x)), bits(0.0)) << x;  // +0, never -0 or -inf
  }
  EXPECT_TRUE(std::isnan(cordicInvSqrt(std::numeric_limits<double>::quiet_NaN())));
  EXPECT_TRUE(std::isnan(cordicInvSqrt(-std::numeric_limits<double>::quiet_NaN())));
  // Subnormals are outside the accurate range but still give a positive finite value.
  const double tiny = std::numeric_limits<double>::denorm_min();
  EXPECT_TRUE(std::isfinite(cordicInvSqrt(tiny)) && cordicInvSqrt(tiny) > 0);
  EXPECT_TRUE(std::isfinite(cordicInvSqrt(std::numeric_limits<double>::max())));
}

TEST(SimdDot4, SumsInLaneOrderInSinglePrecision) {
  EXPECT_EQ(simdDot4(f32x4(1, 2, 3, 4), f32x4(5, 6, 7, 8)), 70.0f);
  // ((1e8 + 1) - 1e8) + 1 = 1 in float; pairing the lanes otherwise would give 0.
  EXPECT_EQ(simdDot4(f32x4(1e8f, 1, -1e8f, 1), f32x4(1, 1, 1, 1)), 1.0f);
  EXPECT_EQ(simdDot4(f32x4(0, 0, 0, 3), f32x4(0, 0, 0, 2)), 6.0f);  // lane 3 counts
}

TEST(SimdNormalize3, AllFourLanesAreDivided) {
  expectLanes(simdNormalize3(f32x4(3, 0, 0, 4)), 3.0f / 5.0f, 0, 0, 4.0f / 5.0f);
  expectLanes(simdNormalize3(f32x4(0, 0, 0, 2)), 0, 0, 0, 1);  // by the division, not the fallback
  expectLanes(simdNormalize3(f32x4(0, 0, 0, -2)), 0, 0, 0, -1);
  expectLanes(simdNormalize3(f32x4(2, 2, 2, 2)), 0.5f, 0.5f, 0.5f, 0.5f);
  const F32x4 n = simdNormalize3(f32x4(std::numeric_limits<float>::quiet_NaN(), 1, 0, 0));
  for (int lane = 0; lane < 4; ++lane) EXPECT_TRUE(std::isnan(n[lane]));
}

// The fallback is taken only for a squared length strictly below 1e-15f.
TEST(SimdNormalize3, ThresholdIsStrictAndInSinglePrecision) {
  const float threshold = 1e-15f;
  ASSERT_EQ(bits(threshold), 0x26901d7du);
  expectLanes(simdNormalize3(f32x4(0, 0, 0, 0)), 0, 0, 0, 1);
  expectLanes(simdNormalize3(f32x4(1e-8f, 0, 0, 0)), 0, 0, 0, 1);
  expectLanes(simdNormalize3(f32x4(0, 0, 0, 1e-8f)), 0, 0, 0, 1);
  // Walk up through the floats around √1e-15 and watch the squared length cross the threshold.
  float x = std::nextafter(std::sqrt(threshold), 0.0f);
  for (int i = 0; i < 8; ++i) x = std::nextafter(x, 0.0f);
  bool crossed = false;
  for (int i = 0; i < 20; ++i, x = std::nextafter(x, 1.0f)) {
    const float d = x * x;
    const F32x4 n = simdNormalize3(f32x4(x, 0, 0, 0));
    if (d < threshold) {
      expectLanes(n, 0, 0, 0, 1);
    } else {
      crossed = true;
      expectLanes(n, x / std::sqrt(d), 0, 0, 0);
    }
  }
  EXPECT_TRUE(crossed);
  // Split over lanes, a squared length equal to the threshold goes on to the division.
  const float half = threshold / 2;  // exact
  const float h = std::sqrt(half);
  if (h * h == half) {
    const F32x4 n = simdNormalize3(f32x4(h, 0, 0, h));
    EXPECT_NE(n[0], 0.0f);
  }
}

}  // namespace
