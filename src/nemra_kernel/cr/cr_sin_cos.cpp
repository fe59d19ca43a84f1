// Correctly rounded sin and cos: sin(a + r) from the table of sin(j pi/512) (sinTable in
// detail/cr_trig.hpp) and short polynomials in r, within 0x1.7p-68 |A| + 0x1.7p-70 |s| plus the
// reduction's error, with A = sin a; a rounding test; the exact path of cr_trig_reduce.cpp. The
// derivation of the bound: docs/cr_math.md, section "sin and cos".
#include <bit>
#include <cstdint>

#include <nemra_kernel/cr/detail/cr_trig.hpp>
#include <nemra_kernel/cr_math.hpp>

namespace nemra_kernel::cr {

namespace {

constexpr std::uint64_t kSignBit = std::uint64_t{1} << 63;
constexpr std::uint64_t kTiny = 0x3E40000000000000u;  // 2^-27

// Everything the first path (reduceHot) leaves: |x| < 2^-18 (tiny arguments included), |x| >=
// 2^14.65, non-finite arguments, remainders below 2^-18, and the exact path. quarter: 0 for sin,
// 1 for cos.
[[gnu::noinline]] double sinCosCold(double x, std::uint32_t quarter) noexcept {
  const std::uint64_t bits = std::bit_cast<std::uint64_t>(x);
  const std::uint64_t abits = bits & ~kSignBit;
  // |x| < 2^-27: |sin x - x| < |x|^3/6 is below a quarter of x's ulp, 1 - cos x < 2^-55 a quarter
  // of the ulp below 1.
  if (abits < kTiny) return quarter == 0 ? x : 1.0;
  if (abits >= 0x7FF0000000000000u) return x - x;  // inf or NaN
  const double ax = std::bit_cast<double>(abits);
  const detail::TrigFast f = detail::sinCosFast(detail::reduceTrig(ax), quarter);
  double out;
  if (!detail::roundsUnambiguouslyRaw(f.v, f.err, &out))
    out = detail::trigSlow(ax, static_cast<int>(quarter));
  return quarter == 0 && (bits & kSignBit) != 0 ? -out : out;
}

// The first path, inlined into each function with its quarter a constant; everything else goes to
// sinCosCold.
template <std::uint32_t Quarter>
[[gnu::always_inline]] inline double sinCos(double x) noexcept {
  detail::TrigReduced red;
  if (detail::reduceHot(x, &red)) {
    const detail::TrigFast f = detail::sinCosFast(red, Quarter);
    double out;
    if (detail::roundsUnambiguouslyRaw(f.v, f.err, &out)) return out;
  }
  return sinCosCold(x, Quarter);
}

}  // namespace

double sin(double x) noexcept { return sinCos<0>(x); }

double cos(double x) noexcept { return sinCos<1>(x); }

}  // namespace nemra_kernel::cr
