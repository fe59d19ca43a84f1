// sin, cos and tan against MPFR, and the fixed-point arithmetic of their exact paths.
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <mpfr.h>
#include <random>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include <nemra_kernel/cr/detail/cr_fixed.hpp>
#include <nemra_kernel/cr/detail/cr_trig.hpp>
#include <nemra_kernel/cr_math.hpp>

#include "support/mpfr_reference.hpp"

namespace {

using nemra_kernel::detail::Fixed;
using nemra_test::CrFunction;

constexpr CrFunction kTrig[3] = {CrFunction::Sin, CrFunction::Cos, CrFunction::Tan};
constexpr const char* kTrigName[3] = {"sin", "cos", "tan"};

double crTrig(int fn, double x) {
  if (fn == 0) return nemra_kernel::cr::sin(x);
  if (fn == 1) return nemra_kernel::cr::cos(x);
  return nemra_kernel::cr::tan(x);
}

std::uint64_t bitsOf(double v) { return std::bit_cast<std::uint64_t>(v); }

// Inputs: half over the angles the library uses (|x| <= 8 pi, uniform), half uniform random bit
// patterns (every binade, both signs, infinities and NaNs included).
double randomInput(std::mt19937_64& rng, int k) {
  if (k % 2 == 0) {
    return (static_cast<double>(rng() >> 11) * 0x1p-53 * 2.0 - 1.0) * 8.0 * 3.141592653589793;
  }
  return std::bit_cast<double>(rng());
}

// The exact value of a Fixed<N> in an MPFR number of 64N bits.
template <int N>
void toMpfr(mpfr_t out, const Fixed<N>& v) {
  const Fixed<N> a = v.abs();
  mpfr_set_ui(out, 0, MPFR_RNDN);
  for (int i = 0; i < N; ++i) {
    mpfr_t limb;
    mpfr_init2(limb, 64);
    mpfr_set_ui_2exp(limb, static_cast<unsigned long>(a.w[i]), 64 * i - Fixed<N>::fractionBits,
                     MPFR_RNDN);
    mpfr_add(out, out, limb, MPFR_RNDN);  // exact: out has 64N bits
    mpfr_clear(limb);
  }
  if (v.isNegative()) mpfr_neg(out, out, MPFR_RNDN);
}

// Random limbs with a random number of leading zero or one bits, so that every magnitude and
// both signs occur.
template <int N>
Fixed<N> randomFixed(std::mt19937_64& rng) {
  Fixed<N> v{};
  for (int i = 0; i < N; ++i) v.w[i] = rng();
  const int s = static_cast<int>(rng() % (64 * N));
  return v.shr(s);
}

TEST(CrFixed, ToDoubleRoundsTheExactValueToNearest) {
  std::mt19937_64 rng(7);
  mpfr_t x, p, q;
  mpfr_inits2(64 * 3, x, p, q, static_cast<mpfr_ptr>(nullptr));
  for (int k = 0; k < 200000; ++k) {
    Fixed<3> v = randomFixed<3>(rng);
    if (k % 4 == 0) v.w[0] = (v.w[0] & ~std::uint64_t{0x7FF}) | 0x400;  // ties and near ties
    toMpfr(x, v);
    ASSERT_EQ(std::bit_cast<std::uint64_t>(v.toDouble()),
              std::bit_cast<std::uint64_t>(mpfr_get_d(x, MPFR_RNDN)))
        << k;
    bool exact = false;
    const double d = v.toDouble();
    ASSERT_EQ(compare(Fixed<3>::fromDouble(d, &exact), v) == 0, mpfr_cmp_d(x, d) == 0);
  }
  mpfr_clears(x, p, q, static_cast<mpfr_ptr>(nullptr));
}

TEST(CrFixed, ProductAndQuotientAreWithinOneUnit) {
  std::mt19937_64 rng(11);
  mpfr_t a, b, exact, got, unit;
  mpfr_inits2(64 * 8, a, b, exact, got, unit, static_cast<mpfr_ptr>(nullptr));
  mpfr_set_ui_2exp(unit, 1, -Fixed<4>::fractionBits, MPFR_RNDN);
  for (int k = 0; k < 100000; ++k) {
    Fixed<4> x = randomFixed<4>(rng).shr(32);
    Fixed<4> y = randomFixed<4>(rng).shr(32);
    toMpfr(a, x);
    toMpfr(b, y);
    mpfr_mul(exact, a, b, MPFR_RNDN);
    toMpfr(got, x.mul(y));
    mpfr_sub(got, got, exact, MPFR_RNDN);
    mpfr_abs(got, got, MPFR_RNDN);
    ASSERT_LT(mpfr_cmp(got, unit), 0) << k;
    // Divisors of the series (below 2^24), up to 2^32 (the 64-bit steps' limit) and beyond.
    for (const std::uint64_t d : {(rng() >> 40) + 1, (rng() >> 32) + 1, rng() | 1}) {
      mpfr_div_ui(exact, a, d, MPFR_RNDN);
      toMpfr(got, x.divSmall(d));
      mpfr_sub(got, got, exact, MPFR_RNDN);
      mpfr_abs(got, got, MPFR_RNDN);
      ASSERT_LT(mpfr_cmp(got, unit), 0) << k << ' ' << d;
    }
    // The series' quotient by j (j + 1) through the table of reciprocals, and past its end:
    // the same limbs as the long division.
    const std::uint64_t j = static_cast<std::uint64_t>(k % 300) + 1;
    const Fixed<4> by_pair = x.divByPair(j);
    ASSERT_EQ(compare(by_pair, x.divSmall(j * (j + 1))), 0) << k << ' ' << j;
  }
  mpfr_clears(a, b, exact, got, unit, static_cast<mpfr_ptr>(nullptr));
}

// The correctly rounded result of f(x) and ours agree bit for bit (NaN as any NaN).
::testing::AssertionResult sameAsMpfr(int fn, double x) {
  const double want = nemra_test::mpfrReference(kTrig[fn], x);
  const double got = crTrig(fn, x);
  if (bitsOf(want) == bitsOf(got) || (std::isnan(want) && std::isnan(got)))
    return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure()
         << kTrigName[fn] << "(" << std::hexfloat << x << ") = " << got << ", MPFR " << want;
}

TEST(CrTrig, MillionRandomInputsEachAreCorrectlyRounded) {
  for (int fn = 0; fn < 3; ++fn) {
    std::mt19937_64 rng(100 + static_cast<unsigned>(fn));
    for (int k = 0; k < 1000000; ++k) ASSERT_TRUE(sameAsMpfr(fn, randomInput(rng, k)));
  }
}

TEST(CrTrig, SpecialValuesAndTinyArguments) {
  const double specials[] = {0.0,
                             -0.0,
                             INFINITY,
                             -INFINITY,
                             NAN,
                             0x1p-1074,
                             -0x1p-1074,
                             0x1p-1022,
                             0x1.fffffffffffffp-28,
                             0x1p-27,
                             -0x1.0000000000001p-27,
                             0x1p-26,
                             0x1.fffffffffffffp1023,
                             -0x1.fffffffffffffp1023};
  for (int fn = 0; fn < 3; ++fn)
    for (double x : specials) EXPECT_TRUE(sameAsMpfr(fn, x));
  EXPECT_EQ(bitsOf(nemra_kernel::cr::sin(-0.0)), bitsOf(-0.0));
  EXPECT_EQ(bitsOf(nemra_kernel::cr::tan(-0.0)), bitsOf(-0.0));
  EXPECT_EQ(nemra_kernel::cr::cos(-0.0), 1.0);
}

// The fast path's error never exceeds the bound it states (a wrong bound would let a misrounded
// result through the rounding test); prints how close it comes.
TEST(CrTrig, FastPathErrorStaysWithinItsBound) {
  for (int fn = 0; fn < 3; ++fn) {
    std::mt19937_64 rng(200 + static_cast<unsigned>(fn));
    double worst = 0.0, worst_rel = 0.0;
    for (int k = 0; k < 200000; ++k) {
      double x = randomInput(rng, k);
      if (!std::isfinite(x) || std::fabs(x) < 0x1p-27) continue;
      const auto f = nemra_kernel::detail::trigFastForTest(x, fn);
      const double rel = nemra_test::relativeError(kTrig[fn], x, f.v.hi, f.v.lo);
      const double ratio = rel * std::fabs(f.v.hi) / f.err;
      ASSERT_LE(ratio, 1.0) << kTrigName[fn] << std::hexfloat << " " << x;
      worst = std::fmax(worst, ratio);
      worst_rel = std::fmax(worst_rel, rel);
    }
    std::printf("%s fast path: largest error %.3f of the bound, largest relative error 2^%.2f\n",
                kTrigName[fn], worst, std::log2(worst_rel));
  }
}

// The first path's edges: |n| just below and at 2^22 (x near (2^22 - 1/2) pi/512) and beyond,
// |x| near 2^14, remainders just above and below 2^-18, and |x| near 2^-18 (n = 0): each result
// against MPFR, and the fast path's error within its bound.
TEST(CrTrig, FirstPathEdgesAreCorrectlyRounded) {
  const double step = 3.141592653589793 / 512;
  std::vector<double> inputs;
  for (double centre : {(0x1p22 - 0.5) * step, 0x1p14, 0x1p-18}) {
    double below = centre, above = centre;
    for (int k = 0; k < 64; ++k) {
      inputs.push_back(below = std::nextafter(below, 0.0));
      inputs.push_back(above = std::nextafter(above, INFINITY));
    }
  }
  for (double m :
       {1.0, 3.0, 100.0, 511.0, 0x1p21 + 7.0, 0x1p22 - 1.0, 0x1.8p22 + 1.0, 0x1p23 - 1.0})
    for (double d : {0x1p-18, 0x1.0001p-18, 0x1.fffep-19, 0x1p-21, 0x1p-9})
      for (double sd : {d, -d}) {
        inputs.push_back(m * step + sd);
        inputs.push_back(m * 0x1.921fb544p-8 + sd);  // u = sd where m C1 is exact
      }
  for (int fn = 0; fn < 3; ++fn) {
    for (double x : inputs) {
      for (double sx : {x, -x}) {
        ASSERT_TRUE(sameAsMpfr(fn, sx));
        const auto f = nemra_kernel::detail::trigFastForTest(sx, fn);
        const double rel = nemra_test::relativeError(kTrig[fn], sx, f.v.hi, f.v.lo);
        ASSERT_LE(rel * std::fabs(f.v.hi), f.err) << kTrigName[fn] << std::hexfloat << " " << sx;
      }
    }
  }
}

// Inputs on which the fast path's rounding test fails go to the exact path: collect them from
// random inputs (both ranges) and check each against MPFR. Also keeps the failure rate, which
// the speed depends on, below 2e-4.
TEST(CrTrig, InputsTheFastPathCannotRoundAreDecidedExactly) {
  for (int fn = 0; fn < 3; ++fn) {
    std::mt19937_64 rng(300 + static_cast<unsigned>(fn));
    long tried = 0, failed = 0;
    double hardest = 0.5;
    while (failed < 600 && tried < 20000000) {
      const double x = randomInput(rng, static_cast<int>(tried++));
      if (!std::isfinite(x) || std::fabs(x) < 0x1p-27) continue;
      const auto f = nemra_kernel::detail::trigFastForTest(x, fn);
      double y;
      if (nemra_kernel::detail::roundsUnambiguouslyRaw(f.v, f.err, &y)) continue;
      ++failed;
      ASSERT_TRUE(sameAsMpfr(fn, x));
      hardest = std::fmin(hardest, nemra_test::boundaryDistanceUlps(kTrig[fn], x));
    }
    const double rate = static_cast<double>(failed) / static_cast<double>(tried);
    std::printf(
        "%s: %ld of %ld inputs to the exact path (%.2g), the hardest 2^%.1f ulp from a "
        "midpoint\n",
        kTrigName[fn], failed, tried, rate, std::log2(hardest));
    EXPECT_GE(failed, 100);
    EXPECT_LT(rate, 2e-4);
  }
}

// Hard cases: the doubles nearest to the roots of (sin x - x)/ulp = j + 1/2, (1 - cos x)/2^-53 =
// j + 1/2 and (tan x - x)/ulp = j + 1/2 for 2^-26 <= x < 2^-18 (a search over all such roots
// kept the closest); the doubles nearest to k pi/2 (results near 0 or huge) and their
// neighbours; the double closest to a multiple of pi/2. Prints the hardest distance reached.
TEST(CrTrig, HardCasesAreCorrectlyRounded) {
  const std::vector<double> near_midpoint[3] = {
      {0x1.c47fb71e1a10fp-21, 0x1.7137449123ef6p-26, 0x1.8db9cb7511e9ep-25, 0x1.3100562eedae6p-20,
       0x1.7137449123ef7p-26, 0x1.b3763ec73f6f6p-23, 0x1.ecdc77f91a756p-20, 0x1.3905b4a6d76d0p-23,
       0x1.4850bcdbf13a1p-23, 0x1.4f747439b348bp-25, 0x1.71b22e0deba0ap-22, 0x1.e80ad2c9dc423p-21},
      {0x1.37b1311fb4936p-22, 0x1.5e5c1cd6c4e6fp-22, 0x1.7ac17fe99c6d1p-21, 0x1.012b5104d296ep-20,
       0x1.2c2fc595456a7p-25, 0x1.fdfefefebe3dbp-24, 0x1.726d41832a0c0p-24, 0x1.94c583ada5b53p-26,
       0x1.e5f684a5f36fep-22, 0x1.43c7177258038p-22, 0x1.5369480174816p-23, 0x1.5b788a6af3d01p-21},
      {0x1.dffffffffff1fp-22, 0x1.ec9baf60b9f7cp-25, 0x1.e5ba19b2b2692p-21, 0x1.8385ec043c716p-24,
       0x1.250bfe1b082f5p-26, 0x1.3787fb98d52d5p-20, 0x1.ae09a94d9e1c0p-22, 0x1.eb6c7a5b1409dp-21,
       0x1.a6a58d55e307bp-26, 0x1.250bfe1b082f4p-26, 0x1.c4bd22db691e7p-24, 0x1.2460a858713ebp-21}};
  std::vector<double> near_multiple = {0x1.6ac5b262ca1ffp+849};
  mpfr_t k_pi_2;
  mpfr_init2(k_pi_2, 200);
  for (int k = 1; k <= 1500; ++k) {
    mpfr_const_pi(k_pi_2, MPFR_RNDN);
    mpfr_mul_ui(k_pi_2, k_pi_2, static_cast<unsigned long>(k), MPFR_RNDN);
    mpfr_div_2ui(k_pi_2, k_pi_2, 1, MPFR_RNDN);
    near_multiple.push_back(mpfr_get_d(k_pi_2, MPFR_RNDN));
  }
  mpfr_clear(k_pi_2);
  const std::size_t centres = near_multiple.size();
  for (std::size_t i = 0; i < centres; ++i) {
    for (double d = near_multiple[i], k = 0; k < 2; ++k)
      near_multiple.push_back(d = std::nextafter(d, 0.0));
    for (double d = near_multiple[i], k = 0; k < 2; ++k)
      near_multiple.push_back(d = std::nextafter(d, INFINITY));
  }
  for (int fn = 0; fn < 3; ++fn) {
    double hardest = 0.5;
    for (const std::vector<double>* inputs : {&near_midpoint[fn], &std::as_const(near_multiple)}) {
      for (double x : *inputs) {
        for (double sx : {x, -x}) ASSERT_TRUE(sameAsMpfr(fn, sx));
        // Each precision step of the exact path is right whenever it claims a result.
        const double want = nemra_test::mpfrReference(kTrig[fn], std::fabs(x));
        for (int limbs : {3, 5, 9, 16}) {
          double got;
          if (nemra_kernel::detail::trigExactForTest(std::fabs(x), fn, limbs, &got)) {
            ASSERT_EQ(bitsOf(got), bitsOf(want))
                << kTrigName[fn] << " " << limbs << " limbs " << std::hexfloat << x;
          }
        }
        hardest = std::fmin(hardest, nemra_test::boundaryDistanceUlps(kTrig[fn], x));
      }
    }
    std::printf("%s: hardest case 2^%.1f ulp from a midpoint\n", kTrigName[fn], std::log2(hardest));
  }
}

}  // namespace
