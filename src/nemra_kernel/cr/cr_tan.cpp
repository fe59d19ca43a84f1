// Correctly rounded tan, and the fast path exposed to the tests that check its bound: tan x = N/D
// or -D/N from the table kTanTable and the series of tan r, within 0x1.bp-69 |qh| plus
// (1 + tan^2) times the reduction's error; a rounding test; the exact path of cr_trig_reduce.cpp.
// The derivation of the bound: docs/cr_math.md, section "tan".
#include <bit>
#include <cstdint>

#include <nemra_kernel/cr/detail/cr_tan_table.hpp>
#include <nemra_kernel/cr/detail/cr_trig.hpp>
#include <nemra_kernel/cr_math.hpp>

namespace nemra_kernel {

namespace {

using detail::absd;
using detail::DoubleDouble;
using detail::kTanTable;
using detail::TanEntry;

// tan x for the reduced argument, as hi + lo, with its error bound.
[[nodiscard]] [[gnu::always_inline]] inline detail::TrigFast tanFast(
    const detail::TrigReduced& red) noexcept {
  const double rh = red.rh, rl = red.rl;
  // a = n pi/512 = (k + 256 p) pi/512 with -128 <= k < 128, p = 0 or 1.
  const std::uint32_t m = (red.n + 128) & 511;
  const TanEntry& e = kTanTable[m & 255];
  const auto [rhh, rhl] = detail::split26(rh);
  const double z = rh * rh;
  const double rhz = rh * z;
  const double t3 = rhz * 0x1.5555555555555p-2;
  const double tp = t3 + (rhz * z) * (0x1.1111111111111p-3 + z * 0x1.ba1ba1ba1ba1cp-5);
  // t = tan r = rh + tl.
  const double tl = (rl + z * rl) + tp;
  // N = T + t = sn.hi + nl and D = 1 - T t = sd.hi + dl, not normalised (|nl| < 2^-18.2 |N|,
  // |dl| < 2^-26.5 |D|).
  const DoubleDouble sn = detail::fastTwoSum(e.hi, rh);
  const double nl = (sn.lo + e.lo) + tl;
  const DoubleDouble sd = detail::fastTwoSum(1.0, -(e.hh * rhh));
  const double dl = (sd.lo - (e.hh * rhl + e.c * rh)) - e.hi * tl;
  // N to 2^-31.8 from t ~ rh + rh^3/3 and D to 2^-26.6 from t ~ rh, ready before the pairs
  // above: the division and the splits need not wait for the pairs.
  const double na = sn.hi + t3;
  const double da = 1.0 - e.hi * rh;
  // tan x = N/D, or -D/N a quarter turn further (p = 1).
  const bool p = m >= 256;
  const double numh = p ? -sd.hi : sn.hi;
  const double numl = p ? -dl : nl;
  const double denh = p ? sn.hi : sd.hi;
  const double denl = p ? nl : dl;
  const double numa = p ? -da : na;
  const double dena = p ? na : da;
  const double inv0 = 1.0 / dena;
  const double q0 = numa * inv0;
  // q0 truncated to 26 significant bits: shorter than a split.
  const double qh = detail::truncate26(q0);
  const double dhh = detail::split26(dena).hi;
  const double dc = (denh - dhh) + denl;
  const double rem = ((numh - qh * dhh) + numl) - qh * dc;
  // 1/den from 1/dena, corrected to first order.
  const double inv = inv0 - inv0 * (((denh - dena) + denl) * inv0);
  // The bound with the sign of qh (the rounding test is symmetric); red.err is 0 on the
  // Cody-Waite path, where the compiler drops the other term.
  const double err = red.err == 0.0
                         ? 0x1.bp-69 * qh
                         : 0x1.bp-69 * absd(qh) + red.err * (1.0 + qh * qh) * (1.0 + 0x1p-40);
  return {{qh, rem * inv}, err};
}

constexpr std::uint64_t kSignBit = std::uint64_t{1} << 63;
constexpr std::uint64_t kTiny = 0x3E40000000000000u;  // 2^-27

[[gnu::noinline]] double tanCold(double x) noexcept {
  const std::uint64_t bits = std::bit_cast<std::uint64_t>(x);
  const std::uint64_t abits = bits & ~kSignBit;
  if (abits < kTiny) return x;  // |x| < 2^-27: |tan x - x| < |x|^3/2.9, below a quarter ulp
  if (abits >= 0x7FF0000000000000u) return x - x;
  const double ax = std::bit_cast<double>(abits);
  const detail::TrigFast f = tanFast(detail::reduceTrig(ax));
  double t;
  if (!detail::roundsUnambiguouslyRaw(f.v, f.err, &t)) t = detail::trigSlow(ax, 2);
  return (bits & kSignBit) != 0 ? -t : t;
}

}  // namespace

double cr::tan(double x) noexcept {
  detail::TrigReduced red;
  if (detail::reduceHot(x, &red)) {
    const detail::TrigFast f = tanFast(red);
    double out;
    if (detail::roundsUnambiguouslyRaw(f.v, f.err, &out)) return out;
  }
  return tanCold(x);
}

detail::TrigFast detail::trigFastForTest(double x, int fn) noexcept {
  const double ax = absd(x);
  TrigReduced red;
  TrigFast f;
  if (reduceHot(x, &red)) {  // the public functions' first path, signed
    f = fn == 2 ? tanFast(red) : sinCosFast(red, static_cast<std::uint32_t>(fn));
  } else {
    red = reduceTrig(ax);
    f = fn == 2 ? tanFast(red) : sinCosFast(red, static_cast<std::uint32_t>(fn));
    if (fn != 1 && x < 0.0) f.v = {-f.v.hi, -f.v.lo};
  }
  f.err = absd(f.err);  // the fast paths may give it the result's sign
  return f;
}

}  // namespace nemra_kernel
