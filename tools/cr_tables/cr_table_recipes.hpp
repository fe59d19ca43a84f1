// How the tables of the correctly rounded functions are made, in MPFR at 400 bits: the one
// recipe behind nemra-cr-tables, which prints them, and the CrTables tests, which check every
// committed entry against it. Header-only; link libmpfr.
#ifndef NEMRA_TOOLS_CR_TABLE_RECIPES_HPP
#define NEMRA_TOOLS_CR_TABLE_RECIPES_HPP

#include <array>
#include <cstddef>
#include <cstdint>
#include <mpfr.h>

namespace nemra_test {

inline constexpr mpfr_prec_t kTableBits = 400;

// An MPFR number at kTableBits.
class Big {
 public:
  Big() { mpfr_init2(v_, kTableBits); }
  explicit Big(double d) : Big() { mpfr_set_d(v_, d, MPFR_RNDN); }
  Big(const Big& o) : Big() { mpfr_set(v_, o.v_, MPFR_RNDN); }
  Big& operator=(const Big& o) {
    mpfr_set(v_, o.v_, MPFR_RNDN);
    return *this;
  }
  ~Big() { mpfr_clear(v_); }
  mpfr_ptr get() { return v_; }
  mpfr_srcptr get() const { return v_; }

 private:
  mpfr_t v_;
};

// Taylor coefficients c[0..N-1] of a function at a point.
template <std::size_t N>
using Series = std::array<Big, N>;

// The double nearest to x.
inline double nearest(const Big& x) { return mpfr_get_d(x.get(), MPFR_RNDN); }

// x as hi + lo: hi the double nearest to x, lo the double nearest to x - hi.
inline std::array<double, 2> doubleDouble(const Big& x) {
  const double hi = nearest(x);
  Big rest;
  mpfr_sub_d(rest.get(), x.get(), hi, MPFR_RNDN);
  return {hi, nearest(rest)};
}

// x as a head of `bits` significant bits (nearest) and the double nearest to the rest.
inline std::array<double, 2> headAndRest(const Big& x, mpfr_prec_t bits) {
  mpfr_t h;
  mpfr_init2(h, bits);
  mpfr_set(h, x.get(), MPFR_RNDN);
  const double head = mpfr_get_d(h, MPFR_RNDN);
  mpfr_clear(h);
  Big rest;
  mpfr_sub_d(rest.get(), x.get(), head, MPFR_RNDN);
  return {head, nearest(rest)};
}

// (q0 + q1 t + q2 t^2)^alpha as a series in t, q0 > 0. From q y' = alpha q' y:
// q0 (n+1) y[n+1] = sum over i = 1, 2 of q_i y[n+1-i] (alpha i - (n+1-i)).
template <std::size_t N>
Series<N> powerOfQuadratic(const Big& q0, const Big& q1, const Big& q2, double alpha) {
  Series<N> y;
  Big a(alpha);
  mpfr_pow(y[0].get(), q0.get(), a.get(), MPFR_RNDN);
  const Big* q[3] = {&q0, &q1, &q2};
  for (std::size_t n = 0; n + 1 < N; ++n) {
    Big sum(0.0);
    for (std::size_t i = 1; i <= 2 && i <= n + 1; ++i) {
      Big term;
      mpfr_mul(term.get(), q[i]->get(), y[n + 1 - i].get(), MPFR_RNDN);
      mpfr_mul_d(term.get(), term.get(),
                 alpha * static_cast<double>(i) - static_cast<double>(n + 1 - i), MPFR_RNDN);
      mpfr_add(sum.get(), sum.get(), term.get(), MPFR_RNDN);
    }
    mpfr_div(sum.get(), sum.get(), q0.get(), MPFR_RNDN);
    mpfr_div_ui(y[n + 1].get(), sum.get(), static_cast<unsigned long>(n + 1), MPFR_RNDN);
  }
  return y;
}

template <std::size_t N>
Series<N> product(const Series<N>& a, const Series<N>& b) {
  Series<N> out;
  for (std::size_t n = 0; n < N; ++n) {
    mpfr_set_zero(out[n].get(), 1);
    for (std::size_t i = 0; i <= n; ++i) {
      Big term;
      mpfr_mul(term.get(), a[i].get(), b[n - i].get(), MPFR_RNDN);
      mpfr_add(out[n].get(), out[n].get(), term.get(), MPFR_RNDN);
    }
  }
  return out;
}

// kAcosAtCentres row i, c = i/128: acos c and acos -c as double-doubles.
inline std::array<double, 4> acosAtCentre(int i) {
  Big c(i / 128.0), plus, minus;
  mpfr_acos(plus.get(), c.get(), MPFR_RNDN);
  mpfr_neg(c.get(), c.get(), MPFR_RNDN);
  mpfr_acos(minus.get(), c.get(), MPFR_RNDN);
  const auto p = doubleDouble(plus);
  const auto m = doubleDouble(minus);
  return {p[0], p[1], m[0], m[1]};
}

// kAsinCentres row i, c = i/128 (c <= 1/2): asin'(c) as a 26-bit head and a rest, then asin's
// Taylor coefficients at c of degree 2 to 9. asin' = (1 - x^2)^(-1/2), and at x = c + t,
// 1 - x^2 = (1 - c^2) - 2c t - t^2; the coefficient of degree k is asin' 's of degree k - 1, / k.
inline std::array<double, 10> asinAtCentre(int i) {
  const double c = i / 128.0;
  Big q0, q1(-2.0 * c), q2(-1.0);
  mpfr_set_d(q0.get(), c, MPFR_RNDN);
  mpfr_sqr(q0.get(), q0.get(), MPFR_RNDN);
  mpfr_ui_sub(q0.get(), 1, q0.get(), MPFR_RNDN);
  const Series<9> d = powerOfQuadratic<9>(q0, q1, q2, -0.5);
  std::array<double, 10> row{};
  const auto head = headAndRest(d[0], 26);
  row[0] = head[0];
  row[1] = head[1];
  for (std::size_t k = 2; k <= 9; ++k) {
    Big a;
    mpfr_div_ui(a.get(), d[k - 1].get(), static_cast<unsigned long>(k), MPFR_RNDN);
    row[k] = nearest(a);
  }
  return row;
}

// kMiddleCentres row i, c = 2^e (1 + j/64) with e = -3 + i/64, j = i mod 64 (1/8 <= c <= 1/2):
// G(s) = acos(1 - s) at c as a double-double, G'(c) as a 26-bit head and a rest, then G's Taylor
// coefficients at c of degree 2 to 9. G' = (2s - s^2)^(-1/2), and at s = c + t, 2s - s^2 =
// (2c - c^2) + (2 - 2c) t - t^2.
inline std::array<double, 12> middleAtCentre(int i) {
  const double c = (1.0 + (i % 64) / 64.0) / (i < 64 ? 8 : i < 128 ? 4 : 2);
  const Series<9> dg = powerOfQuadratic<9>(Big(2 * c - c * c), Big(2 - 2 * c), Big(-1.0), -0.5);
  Big g;
  Big arg(1.0 - c);
  mpfr_acos(g.get(), arg.get(), MPFR_RNDN);
  std::array<double, 12> row{};
  const auto value = doubleDouble(g);
  const auto slope = headAndRest(dg[0], 26);
  row[0] = value[0];
  row[1] = value[1];
  row[2] = slope[0];
  row[3] = slope[1];
  for (std::size_t k = 2; k <= 9; ++k) {
    Big a;
    mpfr_div_ui(a.get(), dg[k - 1].get(), static_cast<unsigned long>(k), MPFR_RNDN);
    row[k + 2] = nearest(a);
  }
  return row;
}

// kOuterCentres row j, d = j/128 (d <= 1/8): F(s) = acos(1 - s) / sqrt(2s) at s = d as a
// double-double, F'(d) as a 26-bit head and a rest, then F's Taylor coefficients at d of degree 2
// to 7. At d = 0, F(s) = sum over n of C(2n, n) / (8^n (2n + 1)) s^n. Elsewhere F = h g with
// h(s) = acos(1 - s), whose derivative is (2s - s^2)^(-1/2), and g(s) = (2s)^(-1/2); at
// s = d + t, 2s - s^2 = (2d - d^2) + (2 - 2d) t - t^2 and 2s = 2d + 2t.
inline std::array<double, 10> outerAtCentre(int j) {
  const double d = j / 128.0;
  Series<8> f;
  if (j == 0) {
    Big binomial(1.0);  // C(2n, n)
    for (std::size_t n = 0; n < 8; ++n) {
      if (n > 0) {
        mpfr_mul_ui(binomial.get(), binomial.get(), static_cast<unsigned long>(2 * (2 * n - 1)),
                    MPFR_RNDN);
        mpfr_div_ui(binomial.get(), binomial.get(), static_cast<unsigned long>(n), MPFR_RNDN);
      }
      mpfr_div_ui(f[n].get(), binomial.get(), static_cast<unsigned long>(2 * n + 1), MPFR_RNDN);
      mpfr_div_2ui(f[n].get(), f[n].get(), static_cast<unsigned long>(3 * n), MPFR_RNDN);
    }
  } else {
    const Series<8> dh = powerOfQuadratic<8>(Big(2 * d - d * d), Big(2 - 2 * d), Big(-1.0), -0.5);
    Series<8> h;
    Big arg(1.0 - d);
    mpfr_acos(h[0].get(), arg.get(), MPFR_RNDN);
    for (std::size_t k = 1; k < 8; ++k) {
      mpfr_div_ui(h[k].get(), dh[k - 1].get(), static_cast<unsigned long>(k), MPFR_RNDN);
    }
    const Series<8> g = powerOfQuadratic<8>(Big(2 * d), Big(2.0), Big(0.0), -0.5);
    f = product(h, g);
  }
  std::array<double, 10> row{};
  const auto value = doubleDouble(f[0]);
  const auto slope = headAndRest(f[1], 26);
  row[0] = value[0];
  row[1] = value[1];
  row[2] = slope[0];
  row[3] = slope[1];
  for (std::size_t k = 2; k <= 7; ++k) row[k + 2] = nearest(f[k]);
  return row;
}

// kTanTable entry k + 128, -128 <= k < 128: tan(k pi/512) as a double-double (hi, lo), hi
// rounded to 27 significant bits (hh), and the double nearest to (hi - hh) + lo (c).
inline std::array<double, 4> tanAtAngle(int k) {
  Big angle;
  mpfr_const_pi(angle.get(), MPFR_RNDN);
  mpfr_mul_si(angle.get(), angle.get(), k, MPFR_RNDN);
  mpfr_div_2ui(angle.get(), angle.get(), 9, MPFR_RNDN);
  Big t;
  mpfr_tan(t.get(), angle.get(), MPFR_RNDN);
  const auto v = doubleDouble(t);
  const auto hh = headAndRest(Big(v[0]), 27);
  Big c(v[0]);
  mpfr_sub_d(c.get(), c.get(), hh[0], MPFR_RNDN);
  mpfr_add_d(c.get(), c.get(), v[1], MPFR_RNDN);
  return {v[0], v[1], hh[0], nearest(c)};
}

// kSinQuarter row i, 0 <= i <= 256: sin(i pi/512) as a double-double (hi, lo) and hi rounded to
// 27 significant bits (hh).
inline std::array<double, 3> sinAtAngle(int i) {
  Big angle;
  mpfr_const_pi(angle.get(), MPFR_RNDN);
  mpfr_mul_si(angle.get(), angle.get(), i, MPFR_RNDN);
  mpfr_div_2ui(angle.get(), angle.get(), 9, MPFR_RNDN);
  Big s;
  mpfr_sin(s.get(), angle.get(), MPFR_RNDN);
  const auto v = doubleDouble(s);
  return {v[0], v[1], headAndRest(Big(v[0]), 27)[0]};
}

// kFourthRootCentres row j, c = 1 + (2j + 1)/128, 0 <= j < 64: 1/c and c^(-1/4), each the
// nearest double.
inline std::array<double, 2> fourthRootAtCentre(int j) {
  Big c(1.0 + (2 * j + 1) / 128.0), inverse, root, power(-0.25);
  mpfr_ui_div(inverse.get(), 1, c.get(), MPFR_RNDN);
  mpfr_pow(root.get(), c.get(), power.get(), MPFR_RNDN);
  return {nearest(inverse), nearest(root)};
}

// kQuarterPowers[k], 0 <= k < 4: 2^(-k/4), the nearest double.
inline double quarterPower(int k) {
  Big two(2.0), power(-k / 4.0), v;
  mpfr_pow(v.get(), two.get(), power.get(), MPFR_RNDN);
  return nearest(v);
}

// The first `words` 64-bit words of the bits of 2/pi after the binary point, most significant
// first, from 2/pi at 64 (words + 4) bits (the bits beyond the last word are not all zeros or all
// ones, so rounding cannot reach it), taken 32 bits at a time.
template <std::size_t Words>
std::array<std::uint64_t, Words> twoOverPiWords() {
  mpfr_t x;
  mpfr_init2(x, static_cast<mpfr_prec_t>(64 * (Words + 4)));
  mpfr_const_pi(x, MPFR_RNDN);
  mpfr_ui_div(x, 2, x, MPFR_RNDN);
  std::array<std::uint64_t, Words> out{};
  for (std::size_t k = 0; k < Words; ++k) {
    for (int half = 0; half < 2; ++half) {
      mpfr_mul_2ui(x, x, 32, MPFR_RNDN);
      const unsigned long bits = mpfr_get_ui(x, MPFR_RNDZ);
      mpfr_sub_ui(x, x, bits, MPFR_RNDN);
      out[k] = (out[k] << 32) | static_cast<std::uint64_t>(bits);
    }
  }
  mpfr_clear(x);
  return out;
}

}  // namespace nemra_test

#endif
