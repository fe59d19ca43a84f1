// Correctly rounded tan, and the fast path exposed to the tests that check its bound.
//
// Fast path: x = n pi/512 + r (reduceHot, or reduceSmall / reduceLarge), n = k + 256 p (mod 512)
// with -128 <= k < 128 and p = 0 or 1, b = k pi/512, T = tan b from kTanTable (|T| <= 1, hi + lo
// within 2^-107 relative, Thh = Th rounded to 27 bits) and t = tan r: with N = T + t and D = 1 - T
// t, tan x = N/D when p = 0 and -D/N when p = 1 (tan(y + pi/2) = -1/tan y). Write u = 2^-53, r = rh
// + rl, |r| <= rho = pi/1024 (1 + 2^-29), rho^2 < 2^-16.69, |rl| <= 2^-32 |rh|.
//  - t = rh + tl, tl = (rl + z rl) + tp, tp = t3 + rh z^2 (2/15 + 17/315 z), t3 = rh z/3, z =
//    rh^2: the series truncates below 2^-72.3 |r|; |tp| <= 2^-18.28 |r|, and the roundings in tp
//    (z, rh*z, the constant 1/3 and t3, the sum; the rest's, on 2^-18 of tp, are negligible) are
//    below 4.5u |tp| < 2^-69.11 |r|; rl's share (1 + tan^2 rh) rl taken as (1 + z) rl errs by
//    (2/3) rh^4 |rl| < 2^-76.7 |r| (|rl| < 2^-51.1 on the Cody-Waite path, 2^-53 |rh| on the
//    other); the sum rounds by u |tl| < 2^-71.28 |r|. So |tl' - tl| < 2^-68.68 |r|.
//  - N: T + rh = sn exactly by Fast2Sum (|T| >= tan(pi/512) > rho unless T = 0); the addition of
//    tl to sn.lo + Tl rounds by 2^-71.28 |r| + 2^-104 |N|; the table 2^-106 |N|. And |r| <= |N|
//    (N = tan r when T = 0, otherwise |N| >= tan(pi/512) - tan rho > rho): N = sn.hi + nl is
//    within 2^-68.46 |N|, not normalised (|nl| < 2^-18.2 |N|).
//  - D: Thh*rhh is exact (27 + 26 bits) and 1 - Thh*rhh = sd exactly (Fast2Sum, |Thh rhh| < 1).
//    The rest, dl = (sd.lo - (Thh rhl + C rh)) - Th tl with C = (Th - Thh) + Tl rounded in the
//    table (2^-80 |T|; Tl tl < 2^-79 dropped), consists of terms below 2^-18 |T r| whose
//    roundings and tl's error add less than 2^-68 |T r| < 2^-76.3; |D| >= 1 - 2^-8.35: D = sd.hi
//    + dl within 2^-76 |D|, |dl| < 2^-26.5 |D|.
//  - Early approximations for the quotient's head and the splits: t3 = rh z/3 within 4u, na =
//    sn.hi + t3 differs from N by (sn.lo + Tl) + rl (1 + z) + 2/15 rh^5 + ... and roundings:
//    within 2^-31.88 |N| (|t| <= |N| and |T| <= 2 |N|, as |T| >= 2 tan rho unless T = 0); da = 1 -
//    Th rh differs from D by T tl and roundings: within 2^-26.6 |D| (|T tl| < 2^-26.62, |D| >
//    0.99). Write num and den for N and D in their roles, numa and dena for their approximations
//    (den = dena (1 + delta), |delta| < 2^-26.6).
//  - Division: inv0 = 1/dena and q0 = numa inv0 are within 2^-26.56 of q = tan x, qh = q0
//    truncated to 26 bits, so qh = q (1 + eta), |eta| < 2^-25 + 2^-26.56 < 2^-24.58; dhh = dena
//    rounded to 26 bits (Veltkamp), within 2^-25.27 of den. qh*dhh is exact and within 2^-23.88
//    of num, and so of numh (within 2^-18.2), so numh - qh*dhh is exact (Sterbenz), as are denh -
//    dhh and denh - dena. Adding numl (a result below 2^-23.88 |num|) rounds by 2^-76.88 |num|;
//    dc = (denh - dhh) + denl (below 2^-25.27 |den|) by 2^-78.27 |den|, and so, times qh, qh*dc
//    and the last subtraction (whose result rem = num - qh den is below 2^-24.58 |num|) each by
//    2^-77.58 |num|: rem within 2^-75.37 |num|. inv = inv0 - inv0 (((denh - dena) + denl) inv0):
//    1/den within 2.9u (u each for inv0 and the subtraction, delta^2 < 2^-53.2), the product rem
//    inv adds u: 3.9u on |ql| < 2^-24.58 |q|, 2^-75.62 |q|. Division in all: 2^-74.49 |q|.
// Total: 2^-68.46 + 2^-76 + 2^-74.49 < 2^-68.42 relative (to q or, within 2^-24.58, qh), so the
// bound used is 0x1.bp-69 |qh| (2^-68.24). The rounding test adds qh to ql -+ err unnormalised:
// those two roundings, below 2^-76.5 |q|, are inside the margin. The reduction's error delta moves
// tan by (1 + tan^2) delta: red.err (1 + qh^2) (1 + 2^-40), and its relative part 2^-103 |r| (1 +
// q^2) <= 2^-101.9 |q| is inside the margin (2^-71.5 |q|), as is the Cody-Waite path's whole error
// (below 2^-83.6 |q|, see reduceSmall).
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
