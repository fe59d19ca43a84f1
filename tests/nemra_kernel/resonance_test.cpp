#include <cmath>
#include <limits>
#include <random>

#include <gtest/gtest.h>

#include <nemra_kernel/resonance.hpp>

#include "reference.hpp"

namespace {

using nemra_kernel::computeProjector;
using nemra_kernel::computeResonance;
using nemra_kernel::deformedTensorProduct;
using nemra_kernel::PGL4;
using nemra_kernel::pglRotateZ;
using nemra_kernel::pglScale;
using nemra_kernel::pglTranslate;

PGL4 randomMatrix(std::mt19937_64& rng) {
  std::uniform_real_distribution<double> entry(-5.0, 5.0);
  PGL4 m{};
  for (double& e : m.data) e = entry(rng);
  return m;
}

TEST(Resonance, ExactlyAntisymmetricWithZeroDiagonal) {
  std::mt19937_64 rng(3);
  for (int i = 0; i < 200; ++i) {
    const PGL4 j = computeResonance(randomMatrix(rng));
    for (std::size_t r = 0; r < 4; ++r) {
      EXPECT_EQ(std::bit_cast<std::uint64_t>(j.get(r, r)), 0u);
      for (std::size_t c = 0; c < 4; ++c) EXPECT_EQ(j.get(c, r), -j.get(r, c));
    }
  }
}

TEST(Resonance, SymmetricGivesZeroAndAntisymmetricDoubles) {
  const PGL4 zero{};
  EXPECT_EQ(computeResonance(PGL4::identity()), zero);
  EXPECT_EQ(computeResonance(pglScale(2, -3, 7)), zero);
  std::mt19937_64 rng(4);
  const PGL4 a = randomMatrix(rng);
  const PGL4 k = computeResonance(a);  // antisymmetric
  PGL4 twice = k;
  for (double& e : twice.data) e = 2 * e;
  EXPECT_EQ(computeResonance(k), twice);
  const PGL4 sym = PGL4::mul(a, a.transpose());
  EXPECT_EQ(computeResonance(sym), zero);
  const PGL4 counting = PGL4::init({1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16});
  EXPECT_EQ(computeResonance(counting),
            PGL4::fromRowMajor({{{0, 3, 6, 9}, {-3, 0, 3, 6}, {-6, -3, 0, 3}, {-9, -6, -3, 0}}}));
}

// For J·Jᵀ = I the projector is (2δ / (1 + 2δ))·I.
TEST(Projector, MatchesClosedFormForOrthogonalJ) {
  const PGL4 jc = PGL4::init({0, 1, 0, 0, -1, 0, 0, 0, 0, 0, 0, 1, 0, 0, -1, 0});
  const PGL4 permutation =
      PGL4::fromRowMajor({{{0, 0, 1, 0}, {1, 0, 0, 0}, {0, 0, 0, 1}, {0, 1, 0, 0}}});
  for (const PGL4& j : {jc, permutation, PGL4::identity(), pglRotateZ(0.3)}) {
    for (double delta : {1e-8, 1e-3, 0.1, 1.0}) {
      const PGL4 pi = computeProjector(j, delta);
      const double diagonal = 2 * delta / (1 + 2 * delta);
      for (std::size_t i = 0; i < 16; ++i) {
        EXPECT_NEAR(pi.data[i], i % 5 == 0 ? diagonal : 0.0, 1e-12)
            << "delta " << delta << " entry " << i;
      }
    }
  }
}

TEST(Projector, ZeroMatrixGivesIdentity) {
  for (double delta : {1e-8, 0.5, 3.0}) {
    EXPECT_EQ(computeProjector(PGL4{}, delta), PGL4::identity()) << delta;
  }
}

TEST(DeformedTensorProduct, AddsTheScaledEntryByEntryProduct) {
  for (double eps : {0.0, 0.5, -2.0, 1e-9}) {
    PGL4 expected = PGL4::identity();
    for (std::size_t i = 0; i < 4; ++i) expected.set(i, i, 1.0 + eps);
    EXPECT_EQ(deformedTensorProduct(PGL4::identity(), PGL4::identity(), eps), expected);
  }
  // No shared non-zero position: the added term vanishes.
  const PGL4 diagonal = pglScale(2, 3, 4);
  const PGL4 off = PGL4::fromRowMajor({{{0, 1, 2, 3}, {4, 0, 5, 6}, {7, 8, 0, 9}, {1, 2, 3, 0}}});
  for (double eps : {0.0, 7.0, -1e300}) {
    EXPECT_EQ(deformedTensorProduct(diagonal, off, eps), PGL4::mul(diagonal, off));
  }
  const PGL4 a = pglScale(2, 1, 1), b = pglTranslate(3, 0, 0);
  EXPECT_EQ(deformedTensorProduct(a, b, 0.0), PGL4::mul(a, b));
  EXPECT_EQ(deformedTensorProduct(a, b, 1.0).get(0, 0), 2.0 + 2.0);
}

// (ε·x)·y, in that order: with ε = 1e308 and x = 10 the first product overflows, where ε·(x·y)
// would not.
TEST(DeformedTensorProduct, MultipliesEpsilonByXFirst) {
  const PGL4 r = deformedTensorProduct(pglScale(10, 1, 1), pglScale(0.1, 1, 1), 1e308);
  EXPECT_EQ(r.get(0, 0), std::numeric_limits<double>::infinity());
}

}  // namespace
