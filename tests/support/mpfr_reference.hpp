// MPFR as the reference for the correctly rounded functions: the correctly rounded double of
// f(x), how far the exact f(x) lies from the nearest rounding boundary (a midpoint between two
// doubles), and the relative error of an approximation. Header-only; link libmpfr.
#ifndef NEMRA_TESTS_SUPPORT_MPFR_REFERENCE_HPP
#define NEMRA_TESTS_SUPPORT_MPFR_REFERENCE_HPP

#include <cmath>
#include <mpfr.h>

namespace nemra_test {

enum class CrFunction { Sin, Cos, Tan, Acos, InvFourthRoot };

// f(x) into y, rounded to nearest at y's precision; returns MPFR's ternary value.
inline int mpfrEvaluate(CrFunction f, mpfr_t y, double x) {
  mpfr_t mx;
  mpfr_init2(mx, 53);
  mpfr_set_d(mx, x, MPFR_RNDN);
  int t = 0;
  switch (f) {
    case CrFunction::Sin:
      t = mpfr_sin(y, mx, MPFR_RNDN);
      break;
    case CrFunction::Cos:
      t = mpfr_cos(y, mx, MPFR_RNDN);
      break;
    case CrFunction::Tan:
      t = mpfr_tan(y, mx, MPFR_RNDN);
      break;
    case CrFunction::Acos:
      t = mpfr_acos(y, mx, MPFR_RNDN);
      break;
    case CrFunction::InvFourthRoot: {
      mpfr_t q;
      mpfr_init2(q, 53);
      mpfr_set_d(q, -0.25, MPFR_RNDN);
      t = mpfr_pow(y, mx, q, MPFR_RNDN);  // pow(±0, -1/4) = +inf, as C gives it
      mpfr_clear(q);
      break;
    }
  }
  mpfr_clear(mx);
  return t;
}

// The correctly rounded double of f(x) (subnormal results included).
inline double mpfrReference(CrFunction f, double x) {
  const mpfr_exp_t emin = mpfr_get_emin();
  const mpfr_exp_t emax = mpfr_get_emax();
  mpfr_set_emin(-1073);
  mpfr_set_emax(1024);
  mpfr_t y;
  mpfr_init2(y, 53);
  const int t = mpfrEvaluate(f, y, x);
  mpfr_subnormalize(y, t, MPFR_RNDN);
  const double r = mpfr_get_d(y, MPFR_RNDN);
  mpfr_clear(y);
  mpfr_set_emin(emin);
  mpfr_set_emax(emax);
  return r;
}

// The ulp of the double nearest to v as the ulp of its binade (2^-1074 at least).
inline double ulpOf(double v) {
  v = std::fabs(v);
  if (v < 0x1p-1021) return 0x1p-1074;
  int e;
  std::frexp(v, &e);  // v in [2^(e-1), 2^e)
  return std::ldexp(1.0, e - 53);
}

// How far the exact f(x) is from the nearest rounding boundary, in ulps of the correctly rounded
// result: 0.5 for a double, near 0 for a hard case. Computed with 400 bits, so values below about
// 2^-340 read as 0. Returns 0.5 for exact results and NaN for NaN results.
inline double boundaryDistanceUlps(CrFunction f, double x) {
  const double rounded = mpfrReference(f, x);
  if (!std::isfinite(rounded) || rounded == 0.0) return std::isnan(rounded) ? NAN : 0.5;
  mpfr_t y, d;
  mpfr_init2(y, 400);
  mpfr_init2(d, 400);
  mpfrEvaluate(f, y, x);
  mpfr_sub_d(d, y, rounded, MPFR_RNDN);  // |d| <= half an ulp of rounded
  mpfr_abs(d, d, MPFR_RNDN);
  // Below a power of two the ulp on that side is half as large.
  double ulp = ulpOf(rounded);
  const bool below = (mpfr_cmp_d(y, rounded) < 0) == (rounded > 0);
  if (below && std::fabs(rounded) == ulpOf(rounded) * 0x1p52) ulp *= 0.5;
  mpfr_div_d(d, d, ulp, MPFR_RNDN);
  mpfr_d_sub(d, 0.5, d, MPFR_RNDN);  // in MPFR: 0.5 - |d| loses nothing there
  const double dist = mpfr_get_d(d, MPFR_RNDN);
  mpfr_clear(y);
  mpfr_clear(d);
  return dist;
}

// |(hi + lo) - f(x)| / |f(x)|, for measuring a fast path's error; f(x) must be non-zero.
inline double relativeError(CrFunction f, double x, double hi, double lo) {
  mpfr_t y, a;
  mpfr_init2(y, 300);
  mpfr_init2(a, 300);
  mpfrEvaluate(f, y, x);
  mpfr_set_d(a, hi, MPFR_RNDN);
  mpfr_add_d(a, a, lo, MPFR_RNDN);  // exact at 300 bits for a double-double
  mpfr_sub(a, a, y, MPFR_RNDN);
  mpfr_div(a, a, y, MPFR_RNDN);
  const double r = std::fabs(mpfr_get_d(a, MPFR_RNDN));
  mpfr_clear(y);
  mpfr_clear(a);
  return r;
}

}  // namespace nemra_test

#endif
