// sin, cos and tan against MPFR, and the fixed-point arithmetic of their exact paths.
#include <bit>
#include <cstdint>
#include <mpfr.h>
#include <random>

#include <gtest/gtest.h>

#include <nemra_kernel/detail/cr_fixed.hpp>

#include "support/mpfr_reference.hpp"

namespace {

using nemra_kernel::detail::Fixed;

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
    const std::uint64_t d = (rng() >> 40) + 1;
    mpfr_div_ui(exact, a, d, MPFR_RNDN);
    toMpfr(got, x.divSmall(d));
    mpfr_sub(got, got, exact, MPFR_RNDN);
    mpfr_abs(got, got, MPFR_RNDN);
    ASSERT_LT(mpfr_cmp(got, unit), 0) << k;
  }
  mpfr_clears(a, b, exact, got, unit, static_cast<mpfr_ptr>(nullptr));
}

}  // namespace
