// Correctly rounded sin and cos.
//
// Error bound of the fast path (sinTable in detail/cr_trig.hpp). Write a = i*pi/512 for the
// table index, A + B*i = exp(i*(a + quarter turns)) from the table (|A|, |B| <= 1, each within
// 2^-107 relative as hi + lo), r = rh + rl with |r| <= rho = pi/1024 (1 + 2^-29), rho^2 < 2^-16.69,
// and V = A cos r + B sin r the exact value. With u = 2^-53:
//  - Bh*rh = p.hi + p.lo and Ah + p.hi = s.hi + s.lo exactly (Dekker, Knuth).
//  - cos r - 1: z = rh^2 (1 + u); the polynomial of degree 3 in z truncates below 2^-82, and its
//    roundings (mostly the last addition to -1/2 and the product by z) make cm1 within 3.01u
//    relative of cos rh - 1; the product by Ah adds u. The term -sin(rh) rl that cm1 leaves out
//    is below u rho^2 |A|, and Al*cm1 below u rho^2 |A| / 2. Together:
//    (4.01 u rho^2/2 + u rho^2 + u rho^2/2) |A| = 3.51 u rho^2 |A| < 2^-67.89 |A|.
//  - The last addition of u (the sum of the small terms) rounds by at most u |u| <= u rho^2/2 |A|
//    + 2^-104 (|A| + |B r|) < 2^-69.7 |A| + 2^-104 (|A| + |B r|).
//  - sin r - r: four roundings in sm and one in its addition, 5u |B| rho^3/6 < 2^-69.96 |B r|.
//  - The other roundings (Bh*rl, Bl*rh, the first additions, the table, Bl*rl left out) are below
//    2^-100 (|A| + |B r|). The final Fast2Sum is exact.
//  Sum: 2^-67.89 + 2^-69.7 < 2^-67.53, so |hi + lo - V| <= 0x1.7p-68 |A| + 2^-69.9 |B r| +
//  2^-100 (|A| + |B r|). For every index, |B r| <= 1.01 |V|: either A = 0 and V = B sin r, or
//  |V| >= sin(pi/1024) >= |r| / 1.01. So with |A| + |B r| <= 3.1 |V|, the bound used is
//  0x1.7p-68 |Ah| + 0x1.4p-70 |hi| (0x1.4p-70 = 2^-69.68 covers 2^-69.9 * 1.01 + 2^-98.4, and the
//  2^-106 |hi| slack of the rounding test). The reduction adds its own absolute error: 2^-125 n
//  below 2^14 (the Cody-Waite constants are within 2^-127.3 of pi/512 and n*C3 rounds by 2^-126.1
//  n), 2^-134 above; and 2^-103 |r| <= 2^-102.9 |V| relative (inside the last term).
//
// The rounding test: every value within err of hi + lo rounds to the same double iff hi + (lo -
// err) and hi + (lo + err) round to the same double (rounding is monotonic).
#include <bit>
#include <cstdint>

#include <nemra_kernel/cr_math.hpp>
#include <nemra_kernel/detail/cr_trig.hpp>

namespace nemra_kernel::cr {

namespace {

// sin (quarter 0) or cos (quarter 1) of ax = |x|, 2^-27 <= ax < inf.
[[nodiscard]] [[gnu::always_inline]] inline double sinOrCos(double ax,
                                                            std::uint32_t quarter) noexcept {
  const detail::TrigFast f = detail::sinCosFast(ax, quarter);
  double out;
  if (detail::roundsUnambiguously(f.v, f.err, &out)) return out;
  return detail::trigSlow(ax, static_cast<int>(quarter));
}

}  // namespace

double sin(double x) noexcept {
  const auto bits = std::bit_cast<std::uint64_t>(x) & ~(std::uint64_t{1} << 63);
  if (bits < 0x3E40000000000000u) return x;       // |x| < 2^-27: |sin x - x| < |x|^3/6, below ulp/4
  if (bits >= 0x7FF0000000000000u) return x - x;  // inf or NaN
  const double ax = std::bit_cast<double>(bits);
  const double s = sinOrCos(ax, 0);
  return x < 0.0 ? -s : s;
}

double cos(double x) noexcept {
  const auto bits = std::bit_cast<std::uint64_t>(x) & ~(std::uint64_t{1} << 63);
  if (bits < 0x3E40000000000000u) return 1.0;  // |x| < 2^-27: 1 - cos x < 2^-55, below ulp/4
  if (bits >= 0x7FF0000000000000u) return x - x;
  return sinOrCos(std::bit_cast<double>(bits), 1);
}

}  // namespace nemra_kernel::cr
