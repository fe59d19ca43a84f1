#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <nemra_kernel/cr_math.hpp>
#include <nemra_kernel/fs_distance.hpp>
#include <nemra_kernel/pgl4.hpp>

#include "random_inputs.hpp"
#include "reference.hpp"

namespace {

using nemra_kernel::HomVec4;
using nemra_kernel::PGL4;
using nemra_kernel::pglFromHomogeneous;
using nemra_kernel::pglLookAt;
using nemra_kernel::pglPerspective;
using nemra_kernel::pglRotateX;
using nemra_kernel::pglRotateY;
using nemra_kernel::pglRotateZ;
using nemra_kernel::pglScale;
using nemra_kernel::pglTranslate;
using nemra_kernel::RowMajor4x4;

constexpr RowMajor4x4 kCounting = {{{1, 2, 3, 4}, {5, 6, 7, 8}, {9, 10, 11, 12}, {13, 14, 15, 16}}};

// Hides a value from the optimiser so that a call is evaluated at run time.
template <class T>
T atRunTime(T v) {
  asm volatile("" : "+m"(v));
  return v;
}

TEST(PGL4Layout, ColumnMajorStorage) {
  const PGL4 m = PGL4::fromRowMajor(kCounting);
  const std::array<double, 16> expected = {1, 5, 9, 13, 2, 6, 10, 14, 3, 7, 11, 15, 4, 8, 12, 16};
  EXPECT_EQ(m.data, expected);
  EXPECT_EQ(m.get(0, 1), 2.0);
  EXPECT_EQ(m.get(3, 0), 13.0);
  for (std::size_t r = 0; r < 4; ++r) {
    for (std::size_t c = 0; c < 4; ++c) EXPECT_EQ(m.get(r, c), kCounting[r][c]);
  }
  PGL4 s = PGL4::identity();
  s.set(1, 2, 7.5);
  EXPECT_EQ(s.data[9], 7.5);
  // The translation lives in storage 12..14, row 0..2 of column 3.
  const PGL4 t = pglTranslate(1, 2, 3);
  EXPECT_EQ(t.get(0, 3), 1.0);
  EXPECT_EQ(t.data[13], 2.0);
  EXPECT_EQ(t.data[14], 3.0);
  EXPECT_EQ(PGL4::fromRowMajor(kCounting).transpose(), PGL4::init(expected).transpose());
  EXPECT_EQ(PGL4::fromRowMajor(kCounting).transpose().data,
            (std::array<double, 16>{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16}));
}

TEST(PGL4Builders, RotateZHasSignedZeroAndTurnsXTowardsY) {
  const PGL4 r0 = pglRotateZ(0.0);
  for (std::size_t i = 0; i < 16; ++i) {
    const double expected = (i == 4) ? -0.0 : PGL4::identity().data[i];
    EXPECT_EQ(std::bit_cast<std::uint64_t>(r0.data[i]), std::bit_cast<std::uint64_t>(expected))
        << "storage index " << i;
  }
  const double angle = 0.3;
  const HomVec4 turned = pglRotateZ(angle).apply(HomVec4::init(1, 0, 0, 1));
  EXPECT_EQ(turned,
            HomVec4::init(nemra_kernel::cr::cos(angle), nemra_kernel::cr::sin(angle), 0, 1));
  EXPECT_EQ(pglRotateZ(angle).get(0, 1), -nemra_kernel::cr::sin(angle));
}

bool sameBits(const PGL4& a, const PGL4& b) { return ref::sameBits(a.data, b.data); }

TEST(PGL4Builders, RotationsAboutXAndYAreOrthonormalAndRightHanded) {
  for (double angle : {0.0, 0.3, -1.2, 2.5}) {
    const double c = nemra_kernel::cr::cos(angle), s = nemra_kernel::cr::sin(angle);
    const PGL4 rx = pglRotateX(angle), ry = pglRotateY(angle);
    EXPECT_TRUE(sameBits(
        rx, PGL4::fromRowMajor({{{1, 0, 0, 0}, {0, c, -s, 0}, {0, s, c, 0}, {0, 0, 0, 1}}})))
        << angle;
    EXPECT_TRUE(sameBits(
        ry, PGL4::fromRowMajor({{{c, 0, s, 0}, {0, 1, 0, 0}, {-s, 0, c, 0}, {0, 0, 0, 1}}})))
        << angle;
    for (const PGL4& r : {rx, ry}) {
      const PGL4 product = r * r.transpose();
      for (std::size_t i = 0; i < 16; ++i) {
        EXPECT_NEAR(product.data[i], PGL4::identity().data[i], 1e-15) << angle;
      }
      EXPECT_NEAR(r.det(), 1.0, 1e-15);
    }
    // About x, y turns towards z; about y, z turns towards x.
    EXPECT_EQ(rx * HomVec4::init(0, 1, 0, 1), HomVec4::init(0, c, s, 1));
    EXPECT_EQ(ry * HomVec4::init(0, 0, 1, 1), HomVec4::init(s, 0, c, 1));
  }
  EXPECT_TRUE(std::signbit(pglRotateX(0.0).get(1, 2)));
  EXPECT_TRUE(std::signbit(pglRotateY(0.0).get(2, 0)));
}

TEST(PGL4Builders, PerspectiveMapsTheNearAndFarPlanesToMinusOneAndOne) {
  const double fovy = 1.1, aspect = 1.6, near = 0.5, far = 80.0;
  const PGL4 p = pglPerspective(fovy, aspect, near, far);
  const double focal = 1.0 / nemra_kernel::cr::tan(fovy / 2.0);
  EXPECT_TRUE(sameBits(
      p,
      PGL4::fromRowMajor({{{focal / aspect, 0, 0, 0},
                           {0, focal, 0, 0},
                           {0, 0, (far + near) / (near - far), ((2.0 * far) * near) / (near - far)},
                           {0, 0, -1, 0}}})));
  for (const double x : {0.0, 0.3, -7.0}) {
    const HomVec4 at_near = p * HomVec4::init(x, 0.2, -near, 1);
    const HomVec4 at_far = p * HomVec4::init(x, -4.0, -far, 1);
    EXPECT_NEAR(at_near.z / at_near.w, -1.0, 1e-14);
    EXPECT_NEAR(at_far.z / at_far.w, 1.0, 1e-14);
    EXPECT_EQ(at_near.w, near);  // w is the distance in front of the camera
  }
  // The top right corner of the field of view at any depth goes to x = y = 1.
  const double half_height = nemra_kernel::cr::tan(fovy / 2.0) * 30.0;
  const HomVec4 corner = p * HomVec4::init(half_height * aspect, half_height, -30.0, 1);
  EXPECT_NEAR(corner.x / corner.w, 1.0, 1e-14);
  EXPECT_NEAR(corner.y / corner.w, 1.0, 1e-14);
}

TEST(PGL4Builders, LookAtMovesTheEyeToTheOriginAndTheCentreOntoMinusZ) {
  const std::array<double, 3> eye{3, -2, 5}, center{-1, 4, 0.5}, up{0.2, 0, 1};
  const PGL4 v = pglLookAt(eye, center, up);

  using V3 = std::array<double, 3>;
  const auto dot = [](const V3& p, const V3& q) {
    return (p[0] * q[0] + p[1] * q[1]) + p[2] * q[2];
  };
  const auto cross = [](const V3& p, const V3& q) {
    return V3{p[1] * q[2] - p[2] * q[1], p[2] * q[0] - p[0] * q[2], p[0] * q[1] - p[1] * q[0]};
  };
  const auto unit = [&](const V3& p) {
    const double n = std::sqrt(dot(p, p));
    return V3{p[0] / n, p[1] / n, p[2] / n};
  };
  const V3 f = unit({center[0] - eye[0], center[1] - eye[1], center[2] - eye[2]});
  const V3 s = unit(cross(f, up));
  const V3 u = cross(s, f);
  EXPECT_TRUE(sameBits(v, PGL4::fromRowMajor({{{s[0], s[1], s[2], -dot(s, eye)},
                                               {u[0], u[1], u[2], -dot(u, eye)},
                                               {-f[0], -f[1], -f[2], dot(f, eye)},
                                               {0, 0, 0, 1}}})));

  EXPECT_EQ(v * HomVec4::init(eye[0], eye[1], eye[2], 1), HomVec4::init(0, 0, 0, 1));
  const V3 to_center = {center[0] - eye[0], center[1] - eye[1], center[2] - eye[2]};
  const HomVec4 c = v * HomVec4::init(center[0], center[1], center[2], 1);
  EXPECT_NEAR(c.x, 0.0, 1e-14);
  EXPECT_NEAR(c.y, 0.0, 1e-14);
  EXPECT_NEAR(c.z, -std::sqrt(dot(to_center, to_center)), 1e-13);
  // up, from the eye, stays in the upper half of the y-z plane; the rotation is proper.
  const HomVec4 above = v * HomVec4::init(eye[0] + up[0], eye[1] + up[1], eye[2] + up[2], 1);
  EXPECT_NEAR(above.x, 0.0, 1e-14);
  EXPECT_GT(above.y, 0.0);
  EXPECT_NEAR(v.det(), 1.0, 1e-14);
}

TEST(PGL4Operators, ProductIsConstantExpressionAndRightFactorActsFirst) {
  constexpr PGL4 ts = pglTranslate(1, 0, 0) * pglScale(2, 2, 2);
  static_assert(ts == PGL4::mul(pglTranslate(1, 0, 0), pglScale(2, 2, 2)));
  EXPECT_EQ(ts * HomVec4::init(1, 0, 0, 1), HomVec4::init(3, 0, 0, 1));
}

TEST(PGL4Builders, TranslateMovesPointsButNotDirections) {
  const PGL4 t = pglTranslate(10, 20, 30);
  EXPECT_EQ(t.apply(HomVec4::init(1, 2, 3, 1)), HomVec4::init(11, 22, 33, 1));
  EXPECT_EQ(t.apply(HomVec4::init(1, 2, 3, 2)), HomVec4::init(21, 42, 63, 2));
  EXPECT_EQ(t.apply(HomVec4::init(1, 2, 3, 0)), HomVec4::init(1, 2, 3, 0));
  EXPECT_EQ(pglScale(2, 3, 4).apply(HomVec4::init(1, 1, 1, 1)), HomVec4::init(2, 3, 4, 1));
}

TEST(PGL4Apply, ZeroVectorStaysZeroAndNothingIsNormalised) {
  for (const PGL4& m : {PGL4::fromRowMajor(kCounting), pglScale(1e300, -2, 0), pglRotateZ(2.0)}) {
    EXPECT_EQ(m.apply(HomVec4::zero()), HomVec4::zero());
  }
  EXPECT_EQ(pglScale(5, 5, 5).apply(HomVec4::init(1, 1, 1, 1)), HomVec4::init(5, 5, 5, 1));
}

TEST(PGL4Mul, RightFactorActsFirst) {
  const PGL4 t = pglTranslate(1, 0, 0);
  const PGL4 s = pglScale(2, 2, 2);
  const HomVec4 p = HomVec4::init(1, 0, 0, 1);
  EXPECT_EQ(PGL4::mul(t, s).apply(p), HomVec4::init(3, 0, 0, 1));
  EXPECT_EQ(PGL4::mul(s, t).apply(p), HomVec4::init(4, 0, 0, 1));
  const PGL4 a = PGL4::fromRowMajor(kCounting);
  const PGL4 b = pglRotateZ(0.5);
  const HomVec4 v = HomVec4::init(0.25, -1, 2, 1);
  const HomVec4 composed = PGL4::mul(a, b).apply(v);
  const HomVec4 stepwise = a.apply(b.apply(v));
  EXPECT_NEAR(composed.x, stepwise.x, 1e-12);
  EXPECT_NEAR(composed.y, stepwise.y, 1e-12);
  EXPECT_NEAR(composed.z, stepwise.z, 1e-12);
  EXPECT_NEAR(composed.w, stepwise.w, 1e-12);
}

TEST(PGL4Det, ExactValues) {
  struct Case {
    RowMajor4x4 rows;
    double det;
  };
  const Case cases[] = {
      {{{{2, 0, 0, 1}, {0, 3, 0, 2}, {0, 0, 4, 3}, {1, 0, 0, 1}}}, 12.0},
      {kCounting, 0.0},
      {{}, 0.0},
      {{{{0, 0, 0, 0}, {0, 1, 0, 0}, {0, 0, 1, 0}, {0, 0, 0, 1}}}, 0.0},
      {{{{2, 0, 0, 0}, {0, 3, 0, 0}, {0, 0, 4, 0}, {0, 0, 0, 1}}}, 24.0},
      {{{{-2, 0, 0, 0}, {0, 3, 0, 0}, {0, 0, 4, 0}, {0, 0, 0, 1}}}, -24.0},
      // Swapping two rows of the identity flips the sign.
      {{{{0, 1, 0, 0}, {1, 0, 0, 0}, {0, 0, 1, 0}, {0, 0, 0, 1}}}, -1.0},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(PGL4::fromRowMajor(c.rows).det(), c.det);
    EXPECT_EQ(std::signbit(PGL4::fromRowMajor(c.rows).det()), std::signbit(c.det));
  }
  EXPECT_EQ(PGL4::identity().det(), 1.0);
  EXPECT_EQ(pglRotateZ(0.0).det(), 1.0);
}

TEST(PGL4Det, NonFiniteEntriesPropagate) {
  PGL4 m = PGL4::identity();
  m.set(2, 1, std::numeric_limits<double>::quiet_NaN());
  EXPECT_TRUE(std::isnan(m.det()));
  EXPECT_TRUE(std::isnan(PGL4::mul(m, PGL4::identity()).get(2, 1)));
}

// The constexpr operations evaluate their own copy of the arithmetic at compile time; it must
// give the run-time bits, for values whose products round.
TEST(PGL4ConstantEvaluation, MatchesRunTimeBits) {
  constexpr PGL4 a = PGL4::fromRowMajor({{{0.1, -1.0 / 3, 2.7, 1e-3},
                                          {5.5, 0.3, -0.7, 1.0 / 7},
                                          {-0.0, 9.25, 0.11, -4.4},
                                          {1e10, -3e-5, 0.6, 0.2}}});
  constexpr PGL4 b = PGL4::fromRowMajor({{{-0.0, 0.9, 1.0 / 9, 3.3},
                                          {-2.2, 0.0, 7.7, 0.05},
                                          {0.0, -0.0, 0.0, 1.0},
                                          {0.125, 1e-7, -6.1, 0.4}}});
  constexpr PGL4 ab = PGL4::mul(a, b);
  constexpr double det_a = a.det();
  constexpr double det_ab = ab.det();
  constexpr PGL4 t = pglTranslate(0.1, 0.2, 0.3);
  constexpr PGL4 s = pglScale(1.0 / 3, 3, -0.0);
  constexpr PGL4 ts = PGL4::mul(t, s);

  const PGL4 ra = atRunTime(a), rb = atRunTime(b);
  EXPECT_TRUE(ref::sameBits(ab.data, PGL4::mul(ra, rb).data));
  EXPECT_TRUE(ref::sameBits(det_a, ra.det()));
  EXPECT_TRUE(ref::sameBits(det_ab, PGL4::mul(ra, rb).det()));
  EXPECT_TRUE(ref::sameBits(ts.data, PGL4::mul(atRunTime(t), atRunTime(s)).data));
  EXPECT_TRUE(ref::sameBits(ab.data, ref::mul(a.data, b.data)));
  static_assert(PGL4::identity().det() == 1.0);
  static_assert(pglScale(2, 3, 4).det() == 24.0);
  static_assert(PGL4::mul(pglTranslate(1, 0, 0), pglScale(2, 2, 2)).get(0, 3) == 1.0);
  static_assert(PGL4::mul(pglScale(2, 2, 2), pglTranslate(1, 0, 0)).get(0, 3) == 2.0);
  static_assert(PGL4::fromRowMajor(kCounting).transpose().get(0, 1) == 5.0);
}

TEST(PGL4FromHomogeneous, BuildsTheSameMatrixAsFromRowMajor) {
  constexpr RowMajor4x4 rows = {{{2, 0, 0, 1}, {0, 3, 0, 2}, {0, 0, 4, 3}, {1, 0, 0, 1}}};
  constexpr PGL4 m = pglFromHomogeneous(rows);
  EXPECT_EQ(m, PGL4::fromRowMajor(rows));
  constexpr PGL4 d = pglFromHomogeneous({{{2, 0, 0, 0}, {0, 3, 0, 0}, {0, 0, 4, 0}, {0, 0, 0, 5}}});
  EXPECT_EQ(d.det(), 120.0);
}

TEST(PGL4IndexDeathTest, OutOfRangeGetAndSetAbort) {
  PGL4 m = PGL4::identity();
  const std::size_t four = atRunTime<std::size_t>(4);
  EXPECT_DEATH((void)m.get(four, 0), "PGL4 entry \\(4, 0\\) is out of range");
  EXPECT_DEATH((void)m.get(0, four), "out of range");
  EXPECT_DEATH(m.set(four, four, 1.0), "out of range");
  EXPECT_DEATH(m.set(static_cast<std::size_t>(-1), 0, 1.0), "out of range");
}

TEST(PGL4BatchDeathTest, MismatchedLengthsAndPartialOverlapAbort) {
  std::vector<HomVec4> points(5, HomVec4::init(1, 2, 3, 1));
  const PGL4 m = pglScale(2, 2, 2);
  const std::span<HomVec4> all(points);
  EXPECT_DEATH(m.applyMany(all.first(3), all.last(2)),
               "PGL4::applyMany: in has 3 points but out has 2: the lengths must be equal");
  EXPECT_DEATH(m.applyMany(all.first(4), all.last(4)),
               "PGL4::applyMany: out overlaps in without being in itself \\(out starts 1 points "
               "after in\\)");
  std::vector<double> out(4);
  EXPECT_DEATH(nemra_kernel::fsDistanceMany(points[0], points, out),
               "fsDistanceMany: b has 5 points but out has 4: the lengths must be equal");
  m.applyMany({}, {});  // empty is fine
}

}  // namespace
