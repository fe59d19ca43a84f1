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
// sin, cos, tan. |x| < 2^-27: sin x and tan x round to x and cos x to 1 (their distance to x, or
// to 1, is below a quarter of an ulp). Otherwise x is reduced exactly to x = n*pi/512 + r,
// |r| <= pi/1024 (plus 2^-30 of it): by a three-part Cody-Waite subtraction below 2^14, and for
// larger |x| by multiplying the 53-bit significand with a 192-bit window of the bits of 2/pi in
// integer arithmetic. With S + C*i = exp(i*(n mod 1024)*pi/512) from a table in double-double,
// sin x = S cos r + C sin r, evaluated as S + C*r exactly in double-double plus short
// polynomials for cos r - 1 and sin r - r; cos x uses the table entry a quarter turn on; tan x
// divides the two in double-double. Bound of the fast path (derived in cr_sin_cos.cpp):
// |error| <= 2^-67.5 |S| + 2^-98 |result| + the reduction's error (2^-97 below 2^14, 2^-130
// above); tan divides these bounds accordingly (cr_tan.cpp). Exact path: x*(2/pi) reduced with
// up to 448 bits, sin and cos of the remainder by their series in fixed point; tan compares
// sin r - m cos r at the midpoint m between two candidate doubles.
#include <nemra/config.hpp>

#ifndef NEMRA_KERNEL_CR_MATH_HPP
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
