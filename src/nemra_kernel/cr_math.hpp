// Correctly rounded elementary functions: each returns the double nearest to the exact result
// (ties cannot occur) for every double argument, computed with plain IEEE double operations and
// integer arithmetic only (no fused multiply-add, no extended precision, no C library call but
// the correctly rounded std::sqrt), so that every machine and every compiler gives the same bits.
// A NaN argument or a NaN result (outside the domain) gives a NaN, its sign and payload
// unspecified.
//
// Each function has a fast path in double and double-double arithmetic with a proven bound on
// its error, and a rounding test: when every value within the bound of the fast result rounds to
// the same double, that double is the answer. Otherwise (rarely) an exact path decides the
// rounding with multi-precision fixed-point integer arithmetic under rigorous error bounds,
// raising the precision until the rounding is certain.
//
// sin, cos, tan. |x| < 2^-27: sin x and tan x round to x and cos x to 1 (they are within a quarter
// of an ulp). Otherwise x = n pi/512 + r, |r| <= pi/1024 (1 + 2^-29), r in double-double: a
// three-part Cody-Waite subtraction for |n| < 2^22 (|x| < 2^14.65); above (or for a remainder
// below 2^-18) the 53-bit significand times the 192 bits of 2/pi that matter, in integers. With
// A = sin a, B = cos a from a table in double-double (a = n pi/512, a quarter turn more for cos),
// sin(a + r) = A + B r + A (cos r - 1) + B (sin r - r): A + B r exactly in two doubles from a
// 27-bit head of B times a 26-bit head of r, the rest in double with short polynomials, the pair
// left unnormalised for the rounding test. Fast path bound, the test's own roundings included:
// 0x1.7p-68 |A| + 0x1.7p-70 |result| + the reduction's error (n 2^-124.8 on the Cody-Waite path,
// 2^-134 above), derived in cr_sin_cos.cpp. tan has a table of its own, T = tan b for
// b = k pi/512, -128 <= k < 128, in double-double: tan x = N/D, or -D/N a quarter turn further,
// with N = T + tan r and D = 1 - T tan r in double-double, a 26-bit quotient head from a
// division of early approximations of N and D, its remainder exact and divided by the
// reciprocal of the denominator; bound 0x1.bp-69 |result| + (1 + tan^2) times the reduction's
// error (above 2^14), derived in cr_tan.cpp. Exact path: x 2/pi with 128, then 256, 512, 960
// fraction bits, sin and cos of the remainder by their series in fixed point with a bound on
// the error; sin and cos round when the whole interval rounds alike, tan compares sin - m cos
// with 0 at the midpoint m between two candidate doubles.
//
// acos. |x| <= 1/2: acos x = acos c - A1 w - w^2 P(w), c = x rounded to a multiple of 1/128 with
// its sign, w = x - c (exact), acos c in double-double and P the Taylor series of asin at c to
// degree 9 from a table; A1 w as a 26-bit head of A1 times w rounded to 2^-33 (exact) plus the
// rest. 1/2 < |x| <= 7/8: with s = 1 - |x| (exact), acos |x| = G(s) = acos(1 - s) by its Taylor
// series to degree 9 at c = s rounded to 7 significant bits (|s - c| <= 2^-7 c), likewise;
// x < 0 gives pi - G(s) with the terms negated. 7/8 < |x| < 1: acos |x| = sqrt(2s) F(s), F a
// Taylor series at the nearest s multiple of 1/128 to degree 7 with a 27-bit head, sqrt(2s) as a
// 26-bit head of std::sqrt plus (2s - head^2) / (sqrt + head), their product's head exact; x < 0
// gives pi - acos |x| from a negated table. Fast path bound: 2^-67.5 relative for |x| <= 1/2,
// 2^-67 to 7/8, 2^-70 beyond (derived in cr_acos.cpp). Exact path: cos at the midpoints around the
// candidate by its Taylor series in fixed point with 128, then 256, 512 and 960 fraction bits and a
// bound on the error; acos x lies below a midpoint m exactly when cos m < x.
//
// invFourthRoot. x = t 2^(4q), t in [1, 16): y0 = t^(-1/4) to 2^-31 from a 64-entry table and a
// cubic, rounded to 28 bits; r = 1 - t y0^4 exactly in 128-bit integers, then rounded; result
// y0 (1 + r/4 + 5r^2/32) 2^-q. Fast path bound: 2^-77 absolute on t^(-1/4) in (1/2, 1] (derived
// in cr_inv_fourth_root.cpp). Exact path: the sign of T M^4 - 2^276 in 320-bit integers at the
// midpoints M 2^-56 around the candidate (t = T 2^-52).
#include <nemra/config.hpp>

#if NEMRA_CXX23 && !defined(NEMRA_KERNEL_CR_MATH_HPP)
#define NEMRA_KERNEL_CR_MATH_HPP

namespace nemra_kernel::cr {

// sin x, correctly rounded; ±0 → ±0, ±inf and NaN → NaN.
[[nodiscard]] NEMRA_API double sin(double x) noexcept;

// cos x, correctly rounded; ±0 → 1, ±inf and NaN → NaN.
[[nodiscard]] NEMRA_API double cos(double x) noexcept;

// tan x, correctly rounded; ±0 → ±0, ±inf and NaN → NaN.
[[nodiscard]] NEMRA_API double tan(double x) noexcept;

// acos x, correctly rounded; acos 1 = +0, |x| > 1 and NaN → NaN.
[[nodiscard]] NEMRA_API double acos(double x) noexcept;

// x^(-1/4), correctly rounded; ±0 → +inf, +inf → +0, x < 0 and NaN → NaN.
[[nodiscard]] NEMRA_API double invFourthRoot(double x) noexcept;

}  // namespace nemra_kernel::cr

#endif
