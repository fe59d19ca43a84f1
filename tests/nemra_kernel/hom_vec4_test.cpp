#include <cmath>
#include <limits>

#include <gtest/gtest.h>

#include <nemra_kernel/hom_vec4.hpp>

namespace {

using nemra_kernel::AffineCard;
using nemra_kernel::HomVec4;

TEST(HomVec4Normalize, ZeroAndTinyVectors) {
  EXPECT_EQ(HomVec4::zero().normalize(), HomVec4::init(0, 0, 0, 1));
  // Only a length strictly below 1e-15 takes the fallback; exactly 1e-15 is divided.
  EXPECT_EQ(HomVec4::init(1e-15, 0, 0, 0).normalize(), HomVec4::init(1, 0, 0, 0));
  EXPECT_EQ(HomVec4::init(0, 0, 0, 2).normalize(), HomVec4::init(0, 0, 0, 1));
}

TEST(HomVec4Normalize, DividesByTheLengthOfAllFourComponents) {
  HomVec4 n = HomVec4::init(3, 0, 0, 4).normalize();
  EXPECT_EQ(n.x, 3.0 / 5.0);  // a true division, not a product with 1/5
  EXPECT_EQ(n.w, 4.0 / 5.0);
  HomVec4 q = HomVec4::init(1, 1, 1, 1).normalize();
  EXPECT_EQ(q, HomVec4::init(0.5, 0.5, 0.5, 0.5));
}

TEST(HomVec4Normalize, NaNComponentsPropagate) {
  double nan = std::numeric_limits<double>::quiet_NaN();
  HomVec4 n = HomVec4::init(nan, 0, 0, 1).normalize();
  EXPECT_TRUE(std::isnan(n.x) && std::isnan(n.w));
}

TEST(HomVec4Cartesian, PointsAtAndNearInfinity) {
  auto dir = HomVec4::init(1, 2, 2, 0).cartesian3();
  EXPECT_DOUBLE_EQ(dir[0], 1.0 / 3.0);
  EXPECT_DOUBLE_EQ(dir[1], 2.0 / 3.0);
  EXPECT_DOUBLE_EQ(dir[2], 2.0 / 3.0);
  // |w| equal to W_EPS is not below it, so the point is divided by w.
  auto near = HomVec4::init(2, 4, 6, 1e-06).cartesian3();
  EXPECT_DOUBLE_EQ(near[0], 2000000.0);
  EXPECT_DOUBLE_EQ(near[1], 4000000.0);
  EXPECT_DOUBLE_EQ(near[2], 6000000.0);
  auto zero = HomVec4::zero().cartesian3();
  EXPECT_EQ(zero, (std::array<double, 3>{0, 0, 0}));
  auto neg = HomVec4::init(2, 4, 6, -2).cartesian3();
  EXPECT_EQ(neg, (std::array<double, 3>{-1, -2, -3}));
}

TEST(HomVec4SamePoint, BlindToSignAndScale) {
  HomVec4 v = HomVec4::init(1, 2, 3, 4);
  EXPECT_TRUE(HomVec4::isSamePoint(v, HomVec4::init(2, 4, 6, 8), 1e-8));
  EXPECT_TRUE(HomVec4::isSamePoint(v, HomVec4::init(-1, -2, -3, -4), 1e-8));
  EXPECT_FALSE(HomVec4::isSamePoint(v, HomVec4::init(1, 2, 3, 5), 1e-8));
  for (HomVec4 w : {v, HomVec4::init(1, 2, 3, 5), HomVec4::init(0, 0, 1, 0)}) {
    EXPECT_EQ(HomVec4::isAntipodalTo(v, w, 1e-8), HomVec4::isSamePoint(v, w, 1e-8));
  }
}

TEST(HomVec4SamePoint, ToleranceZeroAndDegenerateVectors) {
  HomVec4 e = HomVec4::init(1, 0, 0, 0);
  EXPECT_FALSE(HomVec4::isSamePoint(e, e, 0.0));  // cosine 1 is not greater than 1 - 0
  EXPECT_TRUE(HomVec4::isSamePoint(e, e, 1e-8));
  for (double tol : {1e-12, 1e-8, 0.5}) {
    EXPECT_FALSE(HomVec4::isSamePoint(HomVec4::zero(), e, tol));
    EXPECT_FALSE(HomVec4::isSamePoint(e, HomVec4::zero(), tol));
  }
  double nan = std::numeric_limits<double>::quiet_NaN();
  EXPECT_FALSE(HomVec4::isSamePoint(HomVec4::init(nan, 0, 0, 1), e, 1e-8));
  EXPECT_FALSE(HomVec4::isAntipodalTo(HomVec4::init(nan, 0, 0, 1), e, 1e-8));
}

TEST(HomVec4PickBestCard, LargestMagnitudeWithTiesToTheEarlierChart) {
  EXPECT_EQ(HomVec4::init(1, 1, 1, 1).pickBestCard(), AffineCard::UW);
  EXPECT_EQ(HomVec4::init(2, 2, 0, 0).pickBestCard(), AffineCard::UX);
  EXPECT_EQ(HomVec4::init(0, 2, 2, 0).pickBestCard(), AffineCard::UY);
  EXPECT_EQ(HomVec4::init(-5, 1, 1, 1).pickBestCard(), AffineCard::UX);
  EXPECT_EQ(HomVec4::init(0, 0, -3, 1).pickBestCard(), AffineCard::UZ);
  EXPECT_EQ(HomVec4::zero().pickBestCard(), AffineCard::UW);
}

}  // namespace
