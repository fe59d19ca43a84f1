// Correctly rounded elementary functions: each returns the double nearest to the exact result
// (ties cannot occur) for every double argument, on every machine and with every compiler, computed
// with IEEE double and integer arithmetic only (no fused multiply-add, no extended precision, no C
// library call but the correctly rounded std::sqrt). A NaN argument or a NaN result (outside the
// domain) gives a NaN, its sign and payload unspecified; each function's special values are noted
// at its declaration.
//
// Cost, on x86-64 (bench/cr_math_bench.cpp, figures in the README): 7 to 18 ns a call, 0.8 to 1.25
// times glibc's functions (acos 1.55 times on a machine whose glibc acos takes 4 ns). A rare
// argument near a rounding boundary takes a slower exact path in fixed-point integers: on the
// published hardest-to-round inputs the slowest call measured 0.8 µs for sin and cos, 1.3 µs for
// acos and 1.5 µs for tan (AMD EPYC, a shared machine).
// Nothing is allocated, nothing is thrown, no state is kept: the functions are thread-safe.
//
// How each is computed, its tables and the error bounds: docs/cr_math.md.
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
