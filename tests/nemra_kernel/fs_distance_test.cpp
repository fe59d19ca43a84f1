#include <cmath>
#include <limits>
#include <numbers>
#include <random>

#include <gtest/gtest.h>

#include <nemra_kernel/fs_distance.hpp>

namespace {

using nemra_kernel::fsDistance;
using nemra_kernel::HomVec4;
using nemra_kernel::sFromW;
using nemra_kernel::wFromDistance;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

HomVec4 scaled(HomVec4 v, double s) { return HomVec4::init(s * v.x, s * v.y, s * v.z, s * v.w); }

// The angle between the two lines by another formula: atan2(|a|·|b|·sinθ, |a·b|), with
// |a|²|b|²sin²θ = |a|²|b|² − (a·b)² (Lagrange's identity), in long double.
double independentAngle(HomVec4 a, HomVec4 b) {
  const long double ax = a.x, ay = a.y, az = a.z, aw = a.w;
  const long double bx = b.x, by = b.y, bz = b.z, bw = b.w;
  const long double dot = ax * bx + ay * by + az * bz + aw * bw;
  const long double na = ax * ax + ay * ay + az * az + aw * aw;
  const long double nb = bx * bx + by * by + bz * bz + bw * bw;
  const long double cross_sq = std::fmax(0.0L, na * nb - dot * dot);
  return static_cast<double>(std::atan2(std::sqrt(cross_sq), std::fabs(dot)));
}

TEST(FsDistance, SymmetricAndBlindToScaleAndSign) {
  std::mt19937_64 rng(42);
  std::uniform_real_distribution<double> entry(-3.0, 3.0);
  for (int i = 0; i < 2000; ++i) {
    const HomVec4 u = HomVec4::init(entry(rng), entry(rng), entry(rng), entry(rng));
    const HomVec4 v = HomVec4::init(entry(rng), entry(rng), entry(rng), entry(rng));
    const double d = fsDistance(u, v);
    EXPECT_NEAR(d, independentAngle(u, v), 1e-7);
    EXPECT_GE(d, 0.0);
    EXPECT_LE(d, std::numbers::pi / 2);
    // Products commute and n1·n2 = n2·n1, so the swap is exact; so is scaling by -1 and 2.
    EXPECT_EQ(fsDistance(v, u), d);
    EXPECT_EQ(fsDistance(scaled(u, -1.0), scaled(v, 2.0)), d);
    EXPECT_NEAR(fsDistance(scaled(u, -3.7), scaled(v, 1e-3)), d, 1e-7);
  }
}

TEST(FsDistance, KnownAngles) {
  const HomVec4 e0 = HomVec4::init(1, 0, 0, 0), e3 = HomVec4::init(0, 0, 0, 1);
  EXPECT_EQ(fsDistance(e0, e3), std::numbers::pi / 2);
  EXPECT_EQ(fsDistance(e0, HomVec4::init(-5, 0, 0, 0)), 0.0);
  EXPECT_NEAR(fsDistance(e0, HomVec4::init(1, 0, 0, 1)), std::numbers::pi / 4, 1e-15);
  EXPECT_NEAR(fsDistance(HomVec4::init(1, 1, 0, 0), HomVec4::init(1, 0, 0, 0)),
              std::numbers::pi / 4, 1e-15);
}

// A cosine that rounds above 1 is taken as 1, so the distance is 0 rather than NaN.
TEST(FsDistance, CosineAboveOneIsClampedToZeroDistance) {
  std::mt19937_64 rng(7);
  std::uniform_real_distribution<double> entry(-3.0, 3.0);
  int above_one = 0;
  for (int i = 0; i < 5000; ++i) {
    const HomVec4 u = HomVec4::init(entry(rng), entry(rng), entry(rng), entry(rng));
    const HomVec4 v = scaled(u, entry(rng));
    const double raw = std::fabs(HomVec4::dot(u, v)) / (u.norm() * v.norm());
    const double d = fsDistance(u, v);
    if (raw > 1.0) {
      ++above_one;
      EXPECT_EQ(d, 0.0);
    } else {
      EXPECT_LT(d, 5e-8);  // a cosine a few ulps below 1: acos(1 − 2⁻⁵²) is about 2.1e-8
    }
  }
  EXPECT_GT(above_one, 0) << "no sample exercised the clamp";
}

TEST(FsDistance, ShortAndNonFiniteVectorsAreAtDistanceZero) {
  const HomVec4 v = HomVec4::init(0.3, -2, 5, 1);
  const HomVec4 degenerate[] = {HomVec4::zero(), HomVec4::init(1e-16, 0, 0, 3e-17),
                                HomVec4::init(kNaN, 0, 0, 1), HomVec4::init(kInf, 1, 0, 0),
                                HomVec4::init(-kInf, kInf, 0, 0)};
  for (const HomVec4& z : degenerate) {
    EXPECT_EQ(fsDistance(z, v), 0.0);
    EXPECT_EQ(fsDistance(v, z), 0.0);
    EXPECT_EQ(fsDistance(z, z), 0.0);
  }
  // A length of exactly 1e-15 is not below the guard.
  EXPECT_EQ(fsDistance(HomVec4::init(1e-15, 0, 0, 0), HomVec4::init(0, 1, 0, 0)),
            std::numbers::pi / 2);
}

TEST(FsDistanceWeights, ClampsAndKnownValues) {
  const double r = 5838400.0;
  EXPECT_EQ(wFromDistance(0.0, r), 1.0);
  EXPECT_EQ(wFromDistance(0.0, 1.0), 1.0);
  EXPECT_EQ(sFromW(1.5, r), 0.0);
  EXPECT_EQ(sFromW(1.0, r), 0.0);
  EXPECT_EQ(sFromW(kNaN, r), 0.0);
  EXPECT_EQ(sFromW(kInf, r), 0.0);
  EXPECT_EQ(sFromW(-2.0, r), sFromW(-1.0, r));
  EXPECT_EQ(sFromW(-kInf, r), sFromW(-1.0, r));
  EXPECT_NEAR(sFromW(-1.0, r), 36683749.0974373, 1e-6);
  EXPECT_NEAR(sFromW(wFromDistance(1000.0, r), r), 999.9999924, 1e-6);
  for (double s : {1e5, 1e6, 3e7}) EXPECT_NEAR(sFromW(wFromDistance(s, r), r), s, 1e-2);
  EXPECT_TRUE(std::isnan(wFromDistance(1.0, 0.0)));
}

}  // namespace
