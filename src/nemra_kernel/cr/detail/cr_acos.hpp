// The fast path of cr::acos, visible to the tests that measure its error.
#ifndef NEMRA_KERNEL_CR_DETAIL_CR_ACOS_HPP
#define NEMRA_KERNEL_CR_DETAIL_CR_ACOS_HPP

#include <nemra/config.hpp>
#include <nemra_kernel/cr/detail/double_double.hpp>

namespace nemra_kernel::detail {

// acosFast(x) for 2^-56 <= |x| < 1 returns the fast path's approximation hi + lo of acos x, within
// kAcosFastBoundInner * acos x for |x| <= 1/2, kAcosFastBoundMiddle * acos x for 1/2 < |x| <= 7/8
// and kAcosFastBoundOuter * acos x beyond.
inline constexpr double kAcosFastBoundInner = 0x1.6a09e667f3bcdp-68;  // 2^-67.5
inline constexpr double kAcosFastBoundMiddle = 0x1p-67;
inline constexpr double kAcosFastBoundOuter = 0x1p-70;
[[nodiscard]] NEMRA_API DoubleDouble acosFast(double x) noexcept;

// One precision of the exact path for 2^-56 <= |x| < 1, started from the fast path's estimate:
// 3, 5, 9 or 16 limbs (128, 256, 512 or 960 fraction bits). True, with the correctly rounded
// acos x in *out, when that precision decides the rounding; false when it cannot.
[[nodiscard]] NEMRA_API bool acosExactForTest(double x, int limbs, double* out) noexcept;

}  // namespace nemra_kernel::detail

#endif
