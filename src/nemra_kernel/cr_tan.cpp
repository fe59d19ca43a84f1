// Correctly rounded tan, and the fast path exposed to the tests that check its bound.
//
// Fast path: tan(a + r) = N/D with N = A + B t, D = B - A t, t = tan r, A = sin a and B = cos a
// from the table (the notation of cr_sin_cos.cpp). A + Bhh*rhh and B - Ahh*rhh are exact pairs
// (Fast2Sum, as there); the rest of each in double. Error of N (u = 2^-53, rho^2 < 2^-16.69):
//  - tan r - r from rh: the odd polynomial to r^7 truncates below 2^-72.3 |r|; about four
//    roundings inside, one in the product by Bh, one in its addition to a partial sum below
//    |B| rho^3/3 + 2^-24 |B r|: 6u |B| rho^3/3 + 2^-77 |B r| < 2^-68.68 |B r|.
//  - rl's share B tan^2(rh) rl is taken as Bh z rl; rl itself, the heads Bhh*rhl and
//    (Bh - Bhh)*rh, the other roundings of the partial sums and the table: below 2^-74.5 |B r|
//    + 2^-106 |A|.
//  So |N' - N| <= 2^-68.6 |B r| + 2^-106 |A|, and |B r| <= 1.01 |N|, |A| <= 2.02 |N| (N =
//  sin(a + r)/cos r, and a + r is at least pi/1024 (1 - 2^-29) from a multiple of pi when
//  A != 0): relative 2^-68.55. D likewise (A and B exchanged, odd multiples of pi/2).
// Division: D normalised by Fast2Sum; qh = Nh * (1/Dh) (within 2^-51.4), the remainder Nh - qh*Dh
// exact (Dekker, and Nh - p.hi by Sterbenz), Nl (up to 2^-24 |Nh|) added to it in double (2^-77
// relative), ql = rem * (1/Dh) (three roundings on a term below 2^-24 |q|): 2^-74 |q| in all.
// Total: 2^-67.55 + 2^-74 < 2^-67.53 relative, so the bound used is 0x1.7p-68 |qh| (2^-67.48). The
// reduction's error delta moves tan by (1 + tan^2) delta: red.err (1 + qh^2) (1 + 2^-40), and its
// relative part 2^-103 |r| (1 + q^2) <= 2^-101.9 |q| is inside the margin, as is the Cody-Waite
// path's whole error (below 2^-83.6 |q|, see reduceSmall).
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
  const double rh = red.rh, rl = red.rl;
  const detail::TrigEntry& ta = detail::kSinTable[red.n & 1023];
  const detail::TrigEntry& tb = detail::kSinTable[(red.n + 256) & 1023];
  const double c = 134217729.0 * rh;
  const double rhh = c - (c - rh);
  const double rhl = rh - rhh;
  const double z = rh * rh;
  const double tp =
      (rh * z) * (0x1.5555555555555p-2 + z * (0x1.1111111111111p-3 + z * 0x1.ba1ba1ba1ba1cp-5));
  const double zrl = z * rl;
  // N = A + B t and D = B - A t.
  const DoubleDouble sn = detail::fastTwoSum(ta.hi, tb.hh * rhh);
  const double un = ((sn.lo + ta.lo) + (tb.hh * rhl + (tb.hi - tb.hh) * rh)) +
                    ((tb.hi * rl + tb.lo * rh) + tb.hi * zrl);
  const double nl = un + tb.hi * tp;
  const DoubleDouble sd = detail::fastTwoSum(tb.hi, -(ta.hh * rhh));
  const double ud = ((sd.lo + tb.lo) - (ta.hh * rhl + (ta.hi - ta.hh) * rh)) -
                    ((ta.hi * rl + ta.lo * rh) + ta.hi * zrl);
  const DoubleDouble d = detail::fastTwoSum(sd.hi, ud - ta.hi * tp);
  const double inv = 1.0 / d.hi;
  const double qh = sn.hi * inv;
  const DoubleDouble p = detail::twoProd(qh, d.hi);
  const double rem = (((sn.hi - p.hi) - p.lo) + nl) - qh * d.lo;
  // red.err is 0 on the Cody-Waite path: the compiler drops the term there.
  const double err = red.err == 0.0
                         ? 0x1.7p-68 * absd(qh)
                         : 0x1.7p-68 * absd(qh) + red.err * (1.0 + qh * qh) * (1.0 + 0x1p-40);
  return {{qh, rem * inv}, err};
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
  if (abits - kTiny < kLarge - kTiny && detail::reduceSmall(x, &red)) {
    const detail::TrigFast f = tanFast(red);
    double out;
    if (detail::roundsUnambiguously(f.v, f.err, &out)) return out;
  }
  return tanCold(x);
}

detail::TrigFast detail::trigFastForTest(double x, int fn) noexcept {
  const double ax = absd(x);
  TrigReduced red;
  if (ax < 0x1p14 && reduceSmall(x, &red))  // the public functions' first path, signed
    return fn == 2 ? tanFast(red) : sinCosFast(red, static_cast<std::uint32_t>(fn));
  red = reduceTrig(ax);
  TrigFast f = fn == 2 ? tanFast(red) : sinCosFast(red, static_cast<std::uint32_t>(fn));
  if (fn != 1 && x < 0.0) f.v = {-f.v.hi, -f.v.lo};
  return f;
}

}  // namespace nemra_kernel
