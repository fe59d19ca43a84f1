// Correctly rounded sin and cos.
//
// Error bound of the fast path (sinTable in detail/cr_trig.hpp). Write a for the table angle
// (quarter turns included), A = sin a and B = cos a from the table (|A|, |B| <= 1, each within
// 2^-107 relative as hi + lo; Bhh is Bh rounded to 27 bits, c = (Bh - Bhh) + Bl rounded), r = rh
// + rl with |r| <= rho = pi/1024 (1 + 2^-29), rho^2 < 2^-16.69, |rl| <= 2^-32 |rh|, R = |r|, and
// V = A cos r + B sin r the exact value. rh = rhh + rhl with rhh of 26 bits. With u = 2^-53:
//  - Bhh*rhh is exact (27 + 26 bits), and A + Bhh*rhh = s + t exactly by Fast2Sum: |A| >=
//    sin(pi/512) > rho >= |Bhh*rhh| unless A = 0.
//  - B rh - Bhh rhh = Bhh rhl + (Bh - Bhh + Bl) rh: |rhl| <= 2^-26 |rh|, |c| < 2^-26.9 |B|; c's
//    rounding, the two products' and their sum's add less than 2^-77.5 |B| R.
//  - rl's share, -(A sin rh + B (1 - cos rh)) rl, is taken as -(Ah rh + Bh z/2) rl: the
//    difference and its roundings are below 2^-95 (|A| + |B| R).
//  - cos rh - 1 = -z/2 + z^2 (1/24 - z/720) truncates below 2^-82 relative; z = rh^2 (1 + u),
//    and the roundings of the z^2 part (below 2^-20 of cm1) and of the last subtraction make cm1
//    within 2.01u relative (3.01u is used); the product by Ah adds u, Al left out u:
//    5.01u rho^2/2 |A| < 2^-68.37 |A|.
//  - sin rh - rh: z, rh*z, the sum near -1/6 and the product round (4u), the constant -1/6 is
//    off by u/2, the product by Bh and Bl left out add 2u: 6.5u rho^2/6 |B| R < 2^-69.58 |B| R
//    (4.5u, 2^-70.1, when A = 0: B = Bh = +-1 exactly).
//  - The sums: the small terms, s.lo and rl's share first (partial sums below 2^-52 |A| + 2^-25.3
//    |B| R: 2^-76.7 |B| R in all), then sin rh - rh (u |u| < 2^-72.26 |B| R), then cos rh - 1 (u
//    |u| < 2^-70.69 |A| + 2^-72.26 |B| R; none when A = 0).
//  - The rounding test's own roundings of u -+ err, |u| < 2^-17.68 |A| + 2^-19.2 |B| R (so |u|
//    < 2^-15 |s|): 2^-70.68 |A| + 2^-72.26 |B| R; the table: 2^-107 (|A| + |B| R).
//  Sum: 2^-67.88 |A| + 2^-69.01 |B| R, and 2^-69.57 |B| R when A = 0. When A != 0, |A| >=
//  sin(pi/512) >= 2 rho >= 2 |B| R: 2^-67.59 |A|. When A = 0, V = B sin r and R <= (1 +
//  2^-19) |V|: 2^-69.57 |V|. The bound used, 0x1.7p-68 |Ah| + 0x1.7p-70 |s| (2^-67.48 and
//  2^-69.48, |s| within 2^-15 of |V|), covers both with a margin for its own roundings and the
//  reduction's error: below 2^-83.6 |V| on the Cody-Waite path (see reduceSmall), and 2^-134 +
//  2^-103 |r| (2^-102.9 |V|) on the other, whose 2^-134 is added.
//
// The rounding test: every value within err of s + u rounds to the same double iff s + (u -
// err) and s + (u + err) do, as rounding is monotonic, once err includes the roundings of u -+ err
// (done above): no Fast2Sum normalises the pair first. The test is symmetric in the sign of err,
// so below 2^14 the bound is computed with the sign of s (0x1.7p-68 Ah + 0x1.7p-70 s: Ah and s
// have the same sign), without taking absolute values.
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
