// invFourthRoot and acos against MPFR: random inputs over every binade and over the ranges the
// library uses, special values, inputs whose exact result lies very near a midpoint between two
// doubles (the exact paths), and the fast paths' error measured against their stated bounds.
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <mpfr.h>
#include <random>

#include <gtest/gtest.h>

#include <nemra_kernel/cr/detail/cr_acos.hpp>
#include <nemra_kernel/cr/detail/cr_inv_fourth_root.hpp>
#include <nemra_kernel/cr_math.hpp>

#include "support/mpfr_reference.hpp"

namespace {

namespace cr = nemra_kernel::cr;
namespace detail = nemra_kernel::detail;
using nemra_test::CrFunction;
using nemra_test::mpfrReference;

std::uint64_t bitsOf(double v) { return std::bit_cast<std::uint64_t>(v); }

// x^(-1/4) of a positive finite x as 1/sqrt(sqrt(x)) in 120 bits (relative error < 2^-118),
// which MPFR computes ten times faster than pow; mpfr_pow where that cannot decide the rounding.
double invFourthRootReference(double x) {
  mpfr_t y;
  mpfr_init2(y, 120);
  mpfr_set_d(y, x, MPFR_RNDN);
  mpfr_sqrt(y, y, MPFR_RNDN);
  mpfr_rec_sqrt(y, y, MPFR_RNDN);
  const bool decided = mpfr_can_round(y, 116, MPFR_RNDN, MPFR_RNDZ, 54) != 0;
  const double r = decided ? mpfr_get_d(y, MPFR_RNDN) : mpfrReference(CrFunction::InvFourthRoot, x);
  mpfr_clear(y);
  return r;
}

// How far the exact f(x) lies from the nearest midpoint between two doubles, in ulps of the
// result, the difference taken in MPFR (in double it would stop at 2^-54 ulp).
double midpointDistanceUlps(CrFunction f, double x) {
  const double rounded = mpfrReference(f, x);
  mpfr_t y;
  mpfr_init2(y, 400);
  nemra_test::mpfrEvaluate(f, y, x);
  const bool below = mpfr_cmp_d(y, rounded) < 0;
  mpfr_sub_d(y, y, rounded, MPFR_RNDN);  // exact
  mpfr_abs(y, y, MPFR_RNDN);
  double ulp = nemra_test::ulpOf(rounded);
  if (below && rounded == ulp * 0x1p52) ulp *= 0.5;  // below a power of two
  mpfr_div_d(y, y, ulp, MPFR_RNDN);
  mpfr_d_sub(y, 0.5, y, MPFR_RNDN);
  const double distance = mpfr_get_d(y, MPFR_RNDN);
  mpfr_clear(y);
  return distance;
}

// Counts the inputs whose result differs from MPFR's in any bit (NaN matches any NaN), printing
// the first few.
class Misrounded {
 public:
  explicit Misrounded(CrFunction f) : f_(f) {}
  void check(double x, double got) {
    const bool fast = f_ == CrFunction::InvFourthRoot && x > 0 && std::isfinite(x);
    const double want = fast ? invFourthRootReference(x) : mpfrReference(f_, x);
    if (bitsOf(got) == bitsOf(want) || (std::isnan(got) && std::isnan(want))) return;
    if (count_++ < 5) std::printf("  misrounded: x = %a gives %a, MPFR %a\n", x, got, want);
  }
  [[nodiscard]] long count() const { return count_; }

 private:
  CrFunction f_;
  long count_ = 0;
};

double randomPositiveFinite(std::mt19937_64& rng) {
  for (;;) {
    const double x = std::bit_cast<double>(rng() >> 1);
    if (x != 0.0 && std::isfinite(x)) return x;
  }
}

// ---- invFourthRoot -----------------------------------------------------------------------------

TEST(CrInvFourthRoot, SpecialValuesAreThoseOfPow) {
  constexpr double inf = std::numeric_limits<double>::infinity();
  EXPECT_EQ(bitsOf(cr::invFourthRoot(0.0)), bitsOf(inf));
  EXPECT_EQ(bitsOf(cr::invFourthRoot(-0.0)), bitsOf(inf));
  EXPECT_EQ(bitsOf(cr::invFourthRoot(inf)), bitsOf(0.0));
  for (double x : {-inf, -1.0, -0x1p-1074, std::numeric_limits<double>::quiet_NaN()}) {
    EXPECT_TRUE(std::isnan(cr::invFourthRoot(x))) << x;
  }
  // Every power of two, subnormals included: 2^(4k) gives 2^-k exactly.
  Misrounded bad(CrFunction::InvFourthRoot);
  for (int e = -1074; e <= 1023; ++e)
    bad.check(std::ldexp(1.0, e), cr::invFourthRoot(std::ldexp(1.0, e)));
  EXPECT_EQ(bad.count(), 0);
}

TEST(CrInvFourthRoot, RandomInputsRoundCorrectly) {
  std::mt19937_64 rng(20);
  Misrounded bad(CrFunction::InvFourthRoot);
  for (int i = 0; i < 1000000; ++i) {
    // Half uniform bit patterns (every binade, subnormals), half determinants of the sizes
    // normalizeDet meets (1e-15 and up).
    double x = randomPositiveFinite(rng);
    if (i % 2 == 1)
      x = std::ldexp(1.0 + static_cast<double>(rng() >> 12) * 0x1p-52,
                     static_cast<int>(rng() % 160) - 50);
    bad.check(x, cr::invFourthRoot(x));
  }
  EXPECT_EQ(bad.count(), 0);
}

TEST(CrInvFourthRoot, FastPathErrorStaysWithinItsBound) {
  std::mt19937_64 rng(21);
  mpfr_t z, a;
  mpfr_inits2(300, z, a, static_cast<mpfr_ptr>(nullptr));
  double worst = 0;
  for (int i = 0; i < 200000; ++i) {
    const double t =
        std::ldexp(1.0 + static_cast<double>(rng() >> 12) * 0x1p-52, static_cast<int>(rng() % 4));
    const detail::DoubleDouble s = detail::invFourthRootFast(t);
    mpfr_set_d(z, t, MPFR_RNDN);  // t^(-1/4) within 2^-297
    mpfr_sqrt(z, z, MPFR_RNDN);
    mpfr_rec_sqrt(z, z, MPFR_RNDN);
    mpfr_set_d(a, s.hi, MPFR_RNDN);
    mpfr_add_d(a, a, s.lo, MPFR_RNDN);
    mpfr_sub(a, a, z, MPFR_RNDN);
    worst = std::fmax(worst, std::fabs(mpfr_get_d(a, MPFR_RNDN)));
  }
  mpfr_clears(z, a, static_cast<mpfr_ptr>(nullptr));
  std::printf("  invFourthRoot fast path: largest error 2^%.2f, bound 2^%.0f\n", std::log2(worst),
              std::log2(detail::kInvFourthRootFastBound));
  EXPECT_LE(worst, detail::kInvFourthRootFastBound);
}

// x = 1 + d 2^-52 gives 1 - d 2^-54 + (5/32) d^2 2^-104 + ..., just above a midpoint for odd d;
// x = (2^56 - 32 d) 2^-52 gives just below the midpoint (2^53 + d) 2^-54. Scaled by 2^(4q), they
// are within about (5/32) d^2 2^-51 ulp of a midpoint; the 3000 or so below 2^-30 ulp are beyond
// what the fast path can decide.
TEST(CrInvFourthRoot, InputsNearMidpointsRoundCorrectly) {
  std::mt19937_64 rng(22);
  Misrounded bad(CrFunction::InvFourthRoot);
  double hardest = 1;
  int undecidable = 0;
  for (std::uint64_t d = 1; d < (1u << 14); d += 2) {
    const int scale = 4 * (static_cast<int>(rng() % 500) - 250);
    for (double t : {1.0 + static_cast<double>(d) * 0x1p-52,
                     static_cast<double>((std::uint64_t{1} << 56) - 32 * d) * 0x1p-52}) {
      const double x = std::ldexp(t, scale);
      bad.check(x, cr::invFourthRoot(x));
      const double distance = midpointDistanceUlps(CrFunction::InvFourthRoot, x);
      hardest = std::fmin(hardest, distance);
      undecidable += distance < 0x1p-30 ? 1 : 0;
    }
  }
  std::printf("  invFourthRoot: nearest to a midpoint 2^%.2f ulp; %d inputs on the exact path\n",
              std::log2(hardest), undecidable);
  EXPECT_EQ(bad.count(), 0);
  EXPECT_GT(undecidable, 3000);
}

// ---- acos ----------------------------------------------------------------------------------

TEST(CrAcos, SpecialValuesAndEveryPowerOfTwo) {
  constexpr double inf = std::numeric_limits<double>::infinity();
  EXPECT_EQ(bitsOf(cr::acos(1.0)), bitsOf(0.0));
  EXPECT_EQ(bitsOf(cr::acos(-1.0)), bitsOf(mpfrReference(CrFunction::Acos, -1.0)));
  for (double x : {inf, -inf, 1.0 + 0x1p-52, -1.0 - 0x1p-52, 2.0, -0x1p1000,
                   std::numeric_limits<double>::quiet_NaN()}) {
    EXPECT_TRUE(std::isnan(cr::acos(x))) << x;
  }
  // +-2^e for every e < 0, subnormals included (the tiny ones give pi/2 rounded), and +-0.
  Misrounded bad(CrFunction::Acos);
  for (int e = -1074; e < 0; ++e) {
    for (double x : {std::ldexp(1.0, e), -std::ldexp(1.0, e), 1.0 - std::ldexp(1.0, e),
                     std::ldexp(1.0, e) - 1.0}) {
      bad.check(x, cr::acos(x));
    }
  }
  bad.check(0.0, cr::acos(0.0));
  bad.check(-0.0, cr::acos(-0.0));
  EXPECT_EQ(bad.count(), 0);
}

TEST(CrAcos, RandomInputsRoundCorrectly) {
  std::mt19937_64 rng(30);
  Misrounded bad(CrFunction::Acos);
  for (int i = 0; i < 1000000; ++i) {
    // Half uniform in [-1, 1] (cosines of angles, as the distance functions meet them), half
    // with a uniformly random exponent below 0, either sign.
    double x = static_cast<double>(rng() >> 11) * 0x1p-52 - 1.0;
    if (i % 2 == 1) {
      x = std::ldexp(1.0 + static_cast<double>(rng() >> 12) * 0x1p-52,
                     -1 - static_cast<int>(rng() % 1074));
      if (rng() % 2 == 0) x = -x;
    }
    bad.check(x, cr::acos(x));
  }
  EXPECT_EQ(bad.count(), 0);
}

TEST(CrAcos, FastPathErrorStaysWithinItsBounds) {
  std::mt19937_64 rng(31);
  // |x| <= 1/2, 1/2 < |x| <= 7/8, beyond: each part has its own bound.
  const double bound[3] = {detail::kAcosFastBoundInner, detail::kAcosFastBoundMiddle,
                           detail::kAcosFastBoundOuter};
  double worst[3] = {0, 0, 0};
  const auto measure = [&](double x) {
    const detail::DoubleDouble r = detail::acosFast(x);
    const double err = nemra_test::relativeError(CrFunction::Acos, x, r.hi, r.lo);
    const int part = std::fabs(x) <= 0.5 ? 0 : std::fabs(x) <= 0.875 ? 1 : 2;
    worst[part] = std::fmax(worst[part], err);
  };
  for (int i = 0; i < 100000; ++i) {
    double x = static_cast<double>(rng() >> 11) * 0x1p-52 - 1.0;
    if (i % 4 == 0) x = std::ldexp(x, -static_cast<int>(rng() % 55));  // near 0 too
    if (std::fabs(x) < 0x1p-56 || std::fabs(x) >= 1.0) continue;
    measure(x);
  }
  // The middle part's rows meet where 1 - |x| is halfway between two 7-bit values: there the
  // distance to the row's centre is largest, and one ulp of x more or less picks the other row.
  for (int e : {-10, -9}) {
    for (int k = 129; k < 256; k += 2) {  // 1 - |x| = k 2^e, in [1/8, 1/2)
      const double edge = 1.0 - std::ldexp(static_cast<double>(k), e);  // exact
      for (double x : {std::nextafter(edge, 0.0), edge, std::nextafter(edge, 1.0)}) {
        measure(x);
        measure(-x);
      }
    }
  }
  for (int part = 0; part < 3; ++part) {
    std::printf("  acos fast path, part %d: largest relative error 2^%.2f, bound 2^%.1f\n", part,
                std::log2(worst[part]), std::log2(bound[part]));
    EXPECT_LE(worst[part], bound[part]) << "part " << part;
  }
}

// acos x = pi/2 - x - x^3/6 - ... takes 2^k doubles x in [2^-k, 2^(1-k)) to each ulp near pi/2,
// so x = cos(m) rounded, for a midpoint m = pi/2 -+ 2^-k r, puts acos x within about
// 2^-(k+1) ulp of m: from 2^-13 ulp (the fast path's limit) down to 2^-57 ulp as k grows,
// where every midpoint of the binade is tried.
TEST(CrAcos, InputsNearMidpointsRoundCorrectly) {
  std::mt19937_64 rng(32);
  Misrounded bad(CrFunction::Acos);
  mpfr_t m, c;
  mpfr_inits2(200, m, c, static_cast<mpfr_ptr>(nullptr));
  double hardest = 1;
  int undecidable = 0;
  for (int k = 12; k <= 53; ++k) {
    // Midpoints of [1, 2) are odd multiples of 2^-53; those with pi/2 - m in [2^-k, 2^(1-k)).
    const int count = k >= 45 ? 1 << (53 - k) : 256;
    for (int n = 0; n < count; ++n) {
      const double offset = k >= 45
                                ? std::ldexp(static_cast<double>(2 * n + 1), -53)
                                : std::ldexp(1.0 + static_cast<double>(rng() >> 11) * 0x1p-53, -k);
      for (int side : {1, -1}) {
        mpfr_const_pi(m, MPFR_RNDN);
        mpfr_div_2ui(m, m, 1, MPFR_RNDN);
        mpfr_set_d(c, side * offset, MPFR_RNDN);
        mpfr_sub(m, m, c, MPFR_RNDN);
        mpfr_mul_2ui(m, m, 53, MPFR_RNDN);  // to the nearest odd multiple of 2^-53
        mpfr_rint(m, m, MPFR_RNDD);
        if (mpfr_integer_p(m) && mpfr_get_ui(m, MPFR_RNDN) % 2 == 0)
          mpfr_add_ui(m, m, 1, MPFR_RNDN);
        mpfr_div_2ui(m, m, 53, MPFR_RNDN);
        mpfr_cos(c, m, MPFR_RNDN);
        const double x = mpfr_get_d(c, MPFR_RNDN);
        if (std::fabs(x) < 0x1p-56) continue;
        bad.check(x, cr::acos(x));
        const double distance = midpointDistanceUlps(CrFunction::Acos, x);
        hardest = std::fmin(hardest, distance);
        undecidable += distance < 0x1p-20 ? 1 : 0;
      }
    }
  }
  mpfr_clears(m, c, static_cast<mpfr_ptr>(nullptr));
  std::printf("  acos: nearest to a midpoint 2^%.2f ulp; %d inputs on the exact path\n",
              std::log2(hardest), undecidable);
  EXPECT_EQ(bad.count(), 0);
  EXPECT_GT(undecidable, 5000);
}

}  // namespace
