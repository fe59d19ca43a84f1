// Correctly rounded sin and cos.
//
// Error bound of the fast path (sinTable in detail/cr_trig.hpp). Write a for the table angle
// (quarter turns included), A = sin a and B = cos a from the table (|A|, |B| <= 1, each within
// 2^-107 relative as hi + lo; Bhh is Bh rounded to 27 bits), r = rh + rl with |r| <= rho =
// pi/1024 (1 + 2^-29), rho^2 < 2^-16.69, |rl| <= 2^-32 |rh|, and V = A cos r + B sin r the exact
// value. rh = rhh + rhl with rhh of 26 bits. With u = 2^-53:
//  - Bhh*rhh is exact (27 + 26 bits), and A + Bhh*rhh = s + t exactly by Fast2Sum: |A| >=
//    sin(pi/512) > rho >= |Bhh*rhh| unless A = 0.
//  - cos rh - 1 = -z/2 + z^2 (1/24 - z/720) truncates below 2^-82 relative; z = rh^2 (1 + u),
//    and the roundings of the z^2 part (below 2^-21 of cm1) and of the last addition make cm1
//    within 2.01u relative (3.01u is used below); the product by Ah adds u, Al*cm1 left out adds
//    u/2 (relative to |A| rho^2/2): (4.01 + 1) u rho^2/2 |A| = 2.51 u rho^2 |A| < 2^-68.37 |A|.
//  - rl's share, -(A sin rh + B (1 - cos rh)) rl, is taken as -(Ah rh + Bh z/2) rl: the
//    difference and its roundings are below 2^-95 (|A| + |B r|).
//  - The last addition (of Ah*cm1) rounds by at most u |u| <= u rho^2/2 |A| + 2^-77 |B r| <
//    2^-70.7 |A| + 2^-77 |B r|.
//  - sin r - r: four roundings in sm, one in its product and one in its addition (to a partial
//    sum below 2^-24 |B r|): 5u |B| rho^3/6 + 2^-77 |B r| < 2^-69.95 |B r|.
//  - The head terms Bhh*rhl and (Bh - Bhh)*rh are below 2^-26 |B r|; they, the other roundings
//    and the table's errors add less than 2^-75 |B r| + 2^-100 |A|.
//  Sum: |s + u - V| <= 2^-68.11 |A| + 2^-69.9 |B r|, and for every index |B r| <= 1.01 |V|: either
//  A = 0 and V = B sin r, or |V| >= sin(pi/1024) >= |r| / 1.01. The bound used is
//  0x1.7p-68 |Ah| + 0x1.5p-70 |s| (2^-67.48 and 2^-69.61: margin for |s| against |V| and for the
//  rounding test). The reduction's error: below 2^-83.6 |V| for the Cody-Waite path (see
//  reduceSmall), and 2^-134 + 2^-103 |r| (2^-102.9 |V|) for the other, whose 2^-134 is added.
//
// The rounding test: every value within err of s + u rounds to the same double iff hi + (lo -
// err) and hi + (lo + err) do, (hi, lo) = Fast2Sum(s, u), as rounding is monotonic; the
// roundings of lo -+ err (below 2^-106 |V|) are inside the margin too. The test is symmetric in
// the sign of err, so below 2^14 the bound is computed with the sign of s (0x1.7p-68 Ah +
// 0x1.5p-70 s: Ah and s have the same sign), without taking absolute values.
#include <bit>
#include <cstdint>

#include <nemra_kernel/cr_math.hpp>
#include <nemra_kernel/detail/cr_trig.hpp>

namespace nemra_kernel::cr {

namespace {

constexpr std::uint64_t kSignBit = std::uint64_t{1} << 63;
constexpr std::uint64_t kTiny = 0x3E40000000000000u;   // 2^-27
constexpr std::uint64_t kLarge = 0x40D0000000000000u;  // 2^14

// Everything but the fast path of 2^-27 <= |x| < 2^14: tiny, huge and non-finite arguments,
// remainders below 2^-18, and the exact path. quarter: 0 for sin, 1 for cos.
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
  if (!detail::roundsUnambiguously(f.v, f.err, &out))
    out = detail::trigSlow(ax, static_cast<int>(quarter));
  return quarter == 0 && (bits & kSignBit) != 0 ? -out : out;
}

}  // namespace

double sin(double x) noexcept {
  const std::uint64_t abits = std::bit_cast<std::uint64_t>(x) & ~kSignBit;
  detail::TrigReduced red;
  if (abits - kTiny < kLarge - kTiny && detail::reduceSmall(x, &red)) {
    const detail::TrigFast f = detail::sinCosFast(red, 0);
    double out;
    if (detail::roundsUnambiguously(f.v, f.err, &out)) return out;
  }
  return sinCosCold(x, 0);
}

double cos(double x) noexcept {
  const std::uint64_t abits = std::bit_cast<std::uint64_t>(x) & ~kSignBit;
  detail::TrigReduced red;
  if (abits - kTiny < kLarge - kTiny && detail::reduceSmall(x, &red)) {
    const detail::TrigFast f = detail::sinCosFast(red, 1);
    double out;
    if (detail::roundsUnambiguously(f.v, f.err, &out)) return out;
  }
  return sinCosCold(x, 1);
}

}  // namespace nemra_kernel::cr
