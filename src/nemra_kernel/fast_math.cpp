#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>

#include <nemra_kernel/fast_math.hpp>

namespace nemra_kernel {

namespace {

// The single-precision value nearest 1e-15.
constexpr float kNormalizeThreshold = 1e-15f;
static_assert(std::bit_cast<std::uint32_t>(kNormalizeThreshold) == 0x26901d7du);

constexpr std::uint64_t kInvSqrtMagic = 0x5FE6EB50C7B537A9u;

[[gnu::always_inline]] inline float dot4(F32x4 a, F32x4 b) {
  const F32x4 p = a * b;
  return ((p[0] + p[1]) + p[2]) + p[3];
}

// The correctly rounded single-precision square root, as std::sqrt gives it, without the errno
// path of the library call (d is a sum of squares, never negative).
[[gnu::always_inline]] inline float sqrtSingle(float d) {
#if defined(__SSE__)
  return __builtin_ia32_sqrtss(F32x4{d, 0.0f, 0.0f, 0.0f})[0];
#else
  return std::sqrt(d);
#endif
}

}  // namespace

float simdDot4(F32x4 a, F32x4 b) noexcept { return dot4(a, b); }

F32x4 simdNormalize3(F32x4 v) noexcept {
  const float d = dot4(v, v);
  if (d < kNormalizeThreshold) return F32x4{0.0f, 0.0f, 0.0f, 1.0f};
  const float l = sqrtSingle(d);
  return v / F32x4{l, l, l, l};
}

double cordicInvSqrt(double x) noexcept {
  // x ≤ 0 (−0 included) gives +0. NaN and +∞ are decided here too: the bare steps would turn +∞
  // into −∞ (1.5 − ∞ flips the sign), so +∞ gets +0, the limit of 1/√x; NaN is passed through.
  if (!(x > 0.0) || x == std::numeric_limits<double>::infinity()) [[unlikely]] {
    if (x != x) return x;
    return 0.0;
  }
  const std::uint64_t bits = std::bit_cast<std::uint64_t>(x);
  double y = std::bit_cast<double>(kInvSqrtMagic - (bits >> 1));
  const double half_x = 0.5 * x;
  for (int step = 0; step < 3; ++step) y = y * (1.5 - (half_x * y) * y);
  return y;
}

}  // namespace nemra_kernel
