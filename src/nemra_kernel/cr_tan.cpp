// Correctly rounded tan, and the fast path exposed to the tests that check its bound.
//
// Error bound of the fast path: the numerator n = sin x and the denominator d = cos x come from
// sinTable (cr_sin_cos.cpp) with absolute errors En = 0x1.7p-68 |An| + 0x1.4p-70 |nh| + red and
// Ed likewise (red: the reduction's error, which moves both by at most itself). Division in
// double-double: qh = nh * (1/dh) rounded twice, the remainder nh - qh*dh is exact (Dekker, and
// nh - p is exact as p is within 2^-51 of nh), the remaining roundings and the use of dh for
// dh + dl make ql within 2^-100 |q|. So |qh + ql - n/d| <= |q| (En/|n| + Ed/|d|) + 2^-100 |q|
// = (En + |q| Ed) / |d| + 2^-100 |q|, evaluated as (En + |qh| Ed) |1/dh| (1 + 2^-50) + 2^-100 |qh|
// (the factor covers |nh|, |dh|, |qh| for |n|, |d|, |q| and the rounding of the bound itself).
#include <bit>
#include <cstdint>

#include <nemra_kernel/cr_math.hpp>
#include <nemra_kernel/detail/cr_trig.hpp>

namespace nemra_kernel {

namespace {

using detail::absd;
using detail::DoubleDouble;

// tan x for the reduced argument, as hi + lo, with its error bound.
[[nodiscard]] [[gnu::always_inline]] inline detail::TrigFast tanFast(
    const detail::TrigReduced& red) noexcept {
  double an = 0.0, ad = 0.0;
  const detail::TrigPoly poly = detail::trigPoly(red.rh);
  const DoubleDouble sn = detail::sinTable(red.n, 0, red, poly, &an);
  const DoubleDouble sd = detail::sinTable(red.n, 1, red, poly, &ad);
  const DoubleDouble n = detail::fastTwoSum(sn.hi, sn.lo);
  const DoubleDouble d = detail::fastTwoSum(sd.hi, sd.lo);
  const double inv = 1.0 / d.hi;
  const double qh = n.hi * inv;
  const DoubleDouble p = detail::twoProd(qh, d.hi);
  const double rem = (((n.hi - p.hi) - p.lo) + n.lo) - qh * d.lo;
  const double ql = rem * inv;
  const double en = 0x1.7p-68 * an + 0x1.5p-70 * absd(n.hi) + red.err;
  const double ed = 0x1.7p-68 * ad + 0x1.5p-70 * absd(d.hi) + red.err;
  const double aq = absd(qh);
  const double err = (en + aq * ed) * absd(inv) * (1.0 + 0x1p-40) + 0x1p-100 * aq;
  return {{qh, ql}, err};
}

constexpr std::uint64_t kSignBit = std::uint64_t{1} << 63;
constexpr std::uint64_t kTiny = 0x3E40000000000000u;   // 2^-27
constexpr std::uint64_t kLarge = 0x40D0000000000000u;  // 2^14

[[gnu::noinline]] double tanCold(double x) noexcept {
  const std::uint64_t bits = std::bit_cast<std::uint64_t>(x);
  const std::uint64_t abits = bits & ~kSignBit;
  if (abits < kTiny) return x;  // |x| < 2^-27: |tan x - x| < |x|^3/2.9, below a quarter ulp
  if (abits >= 0x7FF0000000000000u) return x - x;
  const double ax = std::bit_cast<double>(abits);
  const detail::TrigFast f = tanFast(detail::reduceTrig(ax));
  double t;
  if (!detail::roundsUnambiguously(f.v, f.err, &t)) t = detail::trigSlow(ax, 2);
  return (bits & kSignBit) != 0 ? -t : t;
}

}  // namespace

double cr::tan(double x) noexcept {
  const std::uint64_t bits = std::bit_cast<std::uint64_t>(x);
  const std::uint64_t abits = bits & ~kSignBit;
  detail::TrigReduced red;
  if (abits - kTiny < kLarge - kTiny && detail::reduceSmall(std::bit_cast<double>(abits), &red)) {
    const detail::TrigFast f = tanFast(red);
    double out;
    if (detail::roundsUnambiguously(f.v, f.err, &out))
      return std::bit_cast<double>(std::bit_cast<std::uint64_t>(out) ^ (bits & kSignBit));
  }
  return tanCold(x);
}

detail::TrigFast detail::trigFastForTest(double x, int fn) noexcept {
  const double ax = absd(x);
  const TrigReduced red = reduceTrig(ax);
  TrigFast f = fn == 2 ? tanFast(red) : sinCosFast(red, static_cast<std::uint32_t>(fn));
  if (fn != 1 && x < 0.0) f.v = {-f.v.hi, -f.v.lo};
  return f;
}

}  // namespace nemra_kernel
