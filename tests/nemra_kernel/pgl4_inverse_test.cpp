#include <cmath>
#include <cstdint>
#include <limits>

#include <gtest/gtest.h>

#include <nemra_kernel/pgl4.hpp>

#include "reference.hpp"

namespace {

using nemra_kernel::PGL4;
using nemra_kernel::pglScale;
using nemra_kernel::pglTranslate;

bool sameBits(const PGL4& a, const PGL4& b) { return ref::sameBits(a.data, b.data); }

// The largest |(m + delta·I)·x − I| entry.
double residual(const PGL4& m, double delta, const PGL4& x) {
  PGL4 m_reg = m;
  for (std::size_t i = 0; i < 4; ++i) m_reg.set(i, i, m.get(i, i) + delta);
  const PGL4 p = PGL4::mul(m_reg, x);
  double r = 0;
  for (std::size_t i = 0; i < 16; ++i)
    r = std::max(r, std::fabs(p.data[i] - PGL4::identity().data[i]));
  return r;
}

// The loop leaves after iteration `exit`: every budget from `exit` on gives the same bits, and
// the budget one short of it gives other bits.
TEST(PGL4Inverse, LeavesAfterTheConvergedIteration) {
  struct Case {
    PGL4 m;
    double delta;
    std::uint32_t exit;
  };
  const Case cases[] = {
      {pglScale(2, 3, 4), 1e-10, 10},
      {PGL4::identity(), 0.0, 7},
      {pglScale(-2, 3, 4), 0.0, 10},
      {pglTranslate(10, 20, 30), 0.0, 26},
  };
  for (const Case& c : cases) {
    const PGL4 at_exit = c.m.inverse(c.delta, c.exit);
    EXPECT_FALSE(sameBits(c.m.inverse(c.delta, c.exit - 1), at_exit)) << "exit " << c.exit;
    for (std::uint32_t budget : {c.exit + 1, c.exit + 5, 100u, 1000u}) {
      EXPECT_TRUE(sameBits(c.m.inverse(c.delta, budget), at_exit)) << "budget " << budget;
    }
    EXPECT_LT(residual(c.m, c.delta, at_exit), 1e-12);
    EXPECT_GE(residual(c.m, c.delta, c.m.inverse(c.delta, c.exit - 1)), 1e-12);
  }
}

TEST(PGL4Inverse, ScaleInverseHasTheRegularisedDiagonal) {
  const PGL4 inv = pglScale(2, 3, 4).inverse(1e-10, 15);
  const double diagonal[] = {0.499999999975, 0.3333333333222, 0.24999999999375, 0.9999999999};
  for (std::size_t i = 0; i < 4; ++i) EXPECT_NEAR(inv.get(i, i), diagonal[i], 1e-13);
  const PGL4 product = PGL4::mul(pglScale(2, 3, 4), inv);
  for (std::size_t i = 0; i < 16; ++i) {
    EXPECT_NEAR(product.data[i], PGL4::identity().data[i], 2e-10) << "storage index " << i;
  }
  const PGL4 neg = pglScale(-2, 3, 4).inverse(0, 30);
  EXPECT_NEAR(neg.get(0, 0), -0.5, 1e-15);
  EXPECT_NEAR(neg.get(1, 1), 1.0 / 3, 1e-15);
}

TEST(PGL4Inverse, TranslationUsesTheWholeBudgetOfFifteen) {
  const PGL4 t = pglTranslate(10, 20, 30);
  const PGL4 at15 = t.inverse(0, 15);
  EXPECT_FALSE(sameBits(t.inverse(0, 14), at15));
  EXPECT_FALSE(sameBits(t.inverse(0, 16), at15));
  EXPECT_NEAR(residual(t, 0, at15), 0.98, 0.01);  // far from the inverse
  const PGL4 at100 = t.inverse(0, 100);
  EXPECT_NEAR(at100.get(0, 3), -10, 1e-9);
  EXPECT_NEAR(at100.get(1, 3), -20, 1e-9);
  EXPECT_NEAR(at100.get(2, 3), -30, 1e-9);
  EXPECT_NEAR(at100.get(3, 3), 1, 1e-12);
}

TEST(PGL4Inverse, ZeroBudgetGivesTheInitialGuess) {
  const double q = 0.25;
  EXPECT_EQ(PGL4::identity().inverse(0, 0),
            PGL4::init({q, 0, 0, 0, 0, q, 0, 0, 0, 0, q, 0, 0, 0, 0, q}));
  // Mᵀ / ‖M‖²: the transpose, each entry divided by 1 + 4 + 1 + 1 + 1 = 8.
  const PGL4 guess = pglTranslate(2, 0, 0).inverse(0, 0);
  EXPECT_EQ(guess.get(3, 0), 2.0 / 8);
  EXPECT_EQ(guess.get(0, 3), 0.0);
  EXPECT_EQ(guess.get(1, 1), 1.0 / 8);
}

// A singular regularised matrix never meets the residual test: every iteration runs and the
// iterates approach the reciprocals of the non-zero diagonal entries, with 0 for the zeros.
TEST(PGL4Inverse, SingularMatrixRunsTheWholeBudget) {
  const PGL4 s = pglScale(0, 1, 1);
  const PGL4 x = s.inverse(0, 15);
  EXPECT_GE(residual(s, 0, x), 1.0 - 1e-12);
  for (std::size_t i = 0; i < 16; ++i) EXPECT_NEAR(x.data[i], pglScale(0, 1, 1).data[i], 1e-12);
  const PGL4 d = pglScale(0, 2, 3).inverse(0, 15);
  EXPECT_EQ(d.get(0, 0), 0.0);
  EXPECT_NEAR(d.get(1, 1), 0.5, 1e-12);
  EXPECT_NEAR(d.get(2, 2), 1.0 / 3, 1e-12);
  EXPECT_NEAR(d.get(3, 3), 1.0, 1e-12);
  // Not yet settled after a few iterations, so each one counts.
  EXPECT_FALSE(sameBits(pglScale(0, 2, 3).inverse(0, 3), pglScale(0, 2, 3).inverse(0, 4)));
}

// Zero and NaN matrices: the initial guess is NaN, every difference of the residual is NaN and
// ignored, and the loop ends after its first iteration with sixteen NaNs.
TEST(PGL4Inverse, ZeroOrNaNMatrixGivesSixteenNaNs) {
  PGL4 with_nan = PGL4::identity();
  with_nan.set(3, 1, std::numeric_limits<double>::quiet_NaN());
  const PGL4 zero = PGL4::init({});
  for (const PGL4& m : {zero, with_nan}) {
    for (std::uint32_t budget : {0u, 1u, 15u}) {
      const PGL4 x = m.inverse(0, budget);
      for (double e : x.data) EXPECT_TRUE(std::isnan(e)) << "budget " << budget;
    }
  }
  // A delta that cancels the diagonal makes the regularised matrix zero as well.
  for (double e : PGL4::identity().inverse(-1.0, 5).data) EXPECT_TRUE(std::isnan(e));
}

TEST(PGL4NormalizeDet, ScalesToUnitDeterminantKeepingTheSign) {
  struct Case {
    PGL4 m;
    double det;
  };
  const Case cases[] = {
      {pglScale(2, 3, 4), 1.0},
      {pglScale(-2, 3, 4), -1.0},
      {pglScale(1e-15, 1, 1), 1.0},  // exactly 1e-15 is not below the threshold
      {pglTranslate(5, 6, 7), 1.0},
      {PGL4::fromRowMajor({{{2, 0, 0, 1}, {0, 3, 0, 2}, {0, 0, 4, 3}, {1, 0, 0, 1}}}), 1.0},
  };
  for (const Case& c : cases) EXPECT_NEAR(c.m.normalizeDet().det(), c.det, 1e-12);
  EXPECT_NEAR(pglScale(1e-15, 1, 1).normalizeDet().get(1, 1), 5623.413251903491, 1e-9);
}

TEST(PGL4NormalizeDet, NearSingularIsReturnedUnchangedAndNaNSpreads) {
  for (const PGL4& m : {pglScale(0, 1, 1), pglScale(9e-16, 1, 1), pglScale(-9e-16, 1, 1)}) {
    EXPECT_TRUE(sameBits(m.normalizeDet(), m));
  }
  PGL4 with_nan = pglScale(2, 3, 4);
  with_nan.set(0, 0, std::numeric_limits<double>::quiet_NaN());
  for (double e : with_nan.normalizeDet().data) EXPECT_TRUE(std::isnan(e));
}

TEST(PGL4InverseReport, TellsAConvergedInverseFromASpentBudget) {
  using nemra_kernel::InverseReport;
  const InverseReport id = PGL4::identity().inverseWithReport(0.0, 30);
  EXPECT_TRUE(sameBits(id.inverse, PGL4::identity().inverse(0.0, 30)));
  EXPECT_EQ(id.iterations, 7u);
  EXPECT_LT(id.residual, 1e-12);
  EXPECT_TRUE(id.converged);

  const InverseReport spent = pglTranslate(10, 20, 30).inverseWithReport(0.0, 15);
  EXPECT_EQ(spent.iterations, 15u);
  EXPECT_NEAR(spent.residual, 0.98, 0.01);
  EXPECT_FALSE(spent.converged);
  const InverseReport enough = pglTranslate(10, 20, 30).inverseWithReport(0.0, 100);
  EXPECT_EQ(enough.iterations, 26u);
  EXPECT_TRUE(enough.converged);

  // No iteration: the initial guess 0.25·I, whose residual is 0.75.
  const InverseReport guess = PGL4::identity().inverseWithReport(0.0, 0);
  EXPECT_EQ(guess.iterations, 0u);
  EXPECT_EQ(guess.residual, 0.75);
  EXPECT_FALSE(guess.converged);

  // A singular matrix never meets the bound.
  const InverseReport singular = pglScale(0, 1, 1).inverseWithReport(0.0, 15);
  EXPECT_EQ(singular.iterations, 15u);
  EXPECT_EQ(singular.residual, 1.0);
  EXPECT_FALSE(singular.converged);

  // The zero matrix: NaN entries end the loop after one iteration with a residual of 0, but the
  // NaN inverse is not reported as converged.
  const InverseReport zero = PGL4::init({}).inverseWithReport(0.0, 15);
  EXPECT_EQ(zero.iterations, 1u);
  EXPECT_EQ(zero.residual, 0.0);
  EXPECT_TRUE(std::isnan(zero.inverse.data[0]));
  EXPECT_FALSE(zero.converged);
}

}  // namespace
