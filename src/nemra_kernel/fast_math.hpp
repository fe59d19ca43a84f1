// Small numeric helpers: a four-lane single-precision dot product and normalisation, and an
// inverse square root from a bit-level seed refined by three Newton steps.
#include <nemra/config.hpp>

#if NEMRA_CXX23 && !defined(NEMRA_KERNEL_FAST_MATH_HPP)
#define NEMRA_KERNEL_FAST_MATH_HPP

namespace nemra_kernel {

// Four single-precision lanes, 0 to 3, in one SIMD register.
using F32x4 = float __attribute__((vector_size(16)));

// (x, y, z, w), lane 0 first.
[[nodiscard]] constexpr F32x4 f32x4(float x, float y, float z, float w) noexcept {
  return F32x4{x, y, z, w};
}

// The lane products summed in single precision in lane order: ((p0 + p1) + p2) + p3. Out of line
// like all of the kernel's arithmetic, so that a caller built with contraction cannot fuse a
// product into the sum.
[[nodiscard]] NEMRA_API float simdDot4(F32x4 a, F32x4 b) noexcept;

// All four lanes (lane 3 included) divided by the length √simdDot4(v, v); (0, 0, 0, 1) when the
// squared length is below 1e-15f. A NaN squared length goes on to the division.
[[nodiscard]] NEMRA_API F32x4 simdNormalize3(F32x4 v) noexcept;

// ≈ 1/√x from the seed 0x5FE6EB50C7B537A9 − (bits(x) >> 1) and three Newton steps, without square
// root or division: within a relative 4e-11 for positive normal x. +0 for x ≤ 0 and for +∞; a NaN
// argument is returned as it is.
[[nodiscard]] NEMRA_API double cordicInvSqrt(double x) noexcept;

}  // namespace nemra_kernel

#endif
