// cr::acos correctly rounded to nearest.
//
// Special cases. |x| > 1 and NaN give NaN; acos 1 = +0 (the only exact case: for any other
// double x, acos x is transcendental); acos -1 is pi rounded; for |x| < 2^-56, acos x =
// pi/2 - x - ... lies within [pi/2 - 2^-55, pi/2 + 2^-55], which rounds to the double nearest
// pi/2 (that double is 0.28 ulp below pi/2).
//
// Fast path, inner part, |x| <= 1/2. With c = x rounded to a multiple of 2^-7 (with its sign;
// 129 table rows, -1/2 <= c <= 1/2) and w = x - c (exact, |w| <= 2^-8),
//   acos x = acos c - A1 w - w^2 (A2 + A3 w + ... + A9 w^7),
// the Taylor series of asin at c, A_k its coefficients (|A_k| at -c as at c, asin being odd),
// stored negated (so summed, not subtracted; the roundings are the same).
// acos c is a double-double from the table; A1 is a 26-bit head plus a rest; A2..A9 doubles. wh = w
// rounded to a multiple of 2^-33 (by adding and subtracting 1.5 * 2^19, exact for |w| <= 2^-8) has
// at most 26 bits, so head * wh is exact; wl = w - wh is exact, |wl| <= 2^-34. Error, absolute
// (acos x >= pi/3 here):
// - Taylor tail beyond w^9: < 2^-76.7 (summed at 400 bits over every table point);
// - A2..A9 rounded to double: < 2^-53 sum |Ak w^k| < 2^-53 * 0.39 * 2^-16 * 1.01 < 2^-70.4;
// - w^2 q evaluated as (w^2 P1 + w^4 P2) + (w^6 P3 + w^8 P4), Pk = D(2k) + D(2k+1) w: |w^2 q| <
//   2^-17.36 (the table's |A2| < 0.385, |A3| < 0.514, and w^4 (P2 + ...) < 2^-32.7), so every
//   rounding of a value of that size (the product w^2 P1 and the two sums that hold it) is at
//   most half an ulp of 2^-18, 2^-71 each; P1 < 0.387 rounds by < 2^-55, times w^2 <= 2^-16:
//   < 2^-71; w^2's rounding, 2^-53 relative: < 2^-70.36; D3 w by < 2^-62, times w^2: < 2^-78;
//   the three smaller terms, each with at most ten roundings of 2^-53 relative, and their sum:
//   < 2^-82. Together < 2^-68.53;
// - the final subtraction rounds on a value < 2^-17.2: < 2^-70.2; the other low terms (table
//   low parts, the Fast2Sum error, head * wl < 2^-33.7, A1 rest * w) round by < 2^-85 in all.
// Total < 2^-68.53 (1 + 0.28 + 0.32 + 0.01) < 2^-67.85; relative (acos x >= 1.047) < 2^-67.92,
// so kAcosFastBoundInner = 2^-67.5.
//
// Fast path, middle part, 1/2 < a = |x| <= 7/8. With s = 1 - a (exact, 1/8 <= s < 1/2), acos a
// = G(s) = acos(1 - s), and acos x = pi - G(s) for x < 0. G is analytic except at s = 0 (and
// s = 2), so its Taylor series at a centre c converges within |s - c| < c: the centres are s
// rounded to 7 significant bits, 64 per binade (129 rows, c = 1/8 .. 1/2), so w = s - c (exact)
// has |w| <= 2^-7 c, the ratio of the inner part (2^-8 against 1/2). Then
//   G(s) = G0 + G1 w + w^2 (G2 + G3 w + ... + G9 w^7),
// G0 a double-double (acos(7/8) = 0.505 <= G <= pi/3), G1 a 26-bit head and a rest (|G1| <
// 2.07), G2..G9 doubles, evaluated as the inner part's sum with wh = w to a multiple of 2^-33
// (|w| <= 2^-9, so head * wh is exact). Error, absolute (summed at 400 bits over every row, |w|
// at its largest): tail beyond w^9 < 2^-77.2; G2..G9 rounded to double < 2^-53 sum |Gk w^k| <
// 2^-70.62; w^2 q (< 2^-17.62, its w^4.. part < 2^-33.1) as in the inner part: the product
// w^2 P1 and the two sums holding it 3 * 2^-71, P1 (< 3.88) rounded by 2^-52 times w^2 <= 2^-20
// (s < 1/4; 2^-53 times 2^-18 above), w^2's rounding < 2^-70.62, the rest < 2^-78, together
// < 2^-68.59; the rounding of a + b (< 2^-17.62) half an ulp of 2^-18, 2^-71; the low terms (G1's
// rest, head * wl, their sums) < 2^-84. Total < 2^-68.59 (1 + 0.25 + 0.19 + 0.01) < 2^-68.05,
// relative (G >= 0.505) < 2^-67.07. For x < 0 the coefficients are negated (exact) and pi's head
// and the negated head make an exact Fast2Sum, the rest summed on values < 2^-32 (< 2^-85); pi - G
// >= 2pi/3, so the relative error is smaller. kAcosFastBoundMiddle = 2^-67.
//
// Fast path, outer part, 7/8 < a < 1: with s = 1 - a (exact), acos a = sqrt(2s) F(s) where
// F(s) = asin(y)/y, y = sqrt(s/2), is analytic for |s| < 2 and in [1, pi/3] here. With d = s
// rounded to a multiple of 2^-7 and v = s - d (exact, |v| <= 2^-8), F(s) = F0 + F1 v + v^2 (F2 +
// ... + F7 v^5), F0 a double-double, F1 a 26-bit head and a rest (head * vh exact, vh = v to a
// multiple of 2^-33 as wh above; head * (v - vh) < 2^-37 rounds by < 2^-90). Error relative to F:
// - tail beyond v^7 < 2^-75.2; F2..F7 rounded < 2^-53 |v^2 G| < 2^-74 (|v^2 G| < 2^-20.9);
// - evaluating v^2 G: three roundings (G, v^2, the product) < 2^-72.4;
// - F = fh + fl: fh = fl(F0 + F1h vh) rounded to a multiple of 2^-26 (27 bits, F < 1.05), and
//   F0 - fh, (F0 - fh) + F1h vh are exact (Sterbenz; then multiples of 2^-62 below 2^-26.9).
//   fl sums the low parts (< 2^-26.9) and then v^2 G: < 2^-80 + 2^-73.88;
// together < 2^-71.5.
// sqrt(2s) = hr + l with hr = h = fl(sqrt(2s)) truncated to 26 bits (|h - hr| < 2^-25 h): hr^2
// is exact, and so is d = 2s - hr^2 (Sterbenz). l = sqrt(2s) - hr = d / (sqrt(2s) + hr) is
// taken as d / (h + hr): h = sqrt(2s)(1 + delta), |delta| <= 2^-53, moves the denominator by
// < 2^-54 relative, the sum and the quotient round once each, so l, of size < 2^-24.99 hr, is
// within 2.5 * 2^-53 of itself and hr + l within 2^-76.6 hr of sqrt(2s).
// (hr + l)(fh + fl) as hr fh (exact, 26 bits times 27) plus hr fl + l (fh + fl) rounded
// (|fl| < 2^-20.88): hr fl < 2^-73.88, the sum (< 2^-20.79 hr) < 2^-73.79, l's factor and
// product 2 * 2^-77.9; < 2^-72.7 more. acos a within 2^-70.9 relative; pi - acos a (x < 0, a
// result above 2pi/3, so acos a's errors count half; computed as pi + the same terms from the
// negated table, whose roundings are those of acos a with the sign flipped) within 2^-71.5
// relative: the low part sums ((pi's rest + the Fast2Sum error) + hr fl) + l (fh + fl), the
// first sum below 2^-51 (rounds by < 2^-104), the other two on values < 2^-20.79 hr + 2^-51,
// two roundings of < 2^-74.6 relative that take the place of the sum's rounding above.
// kAcosFastBoundOuter = 2^-70.
//
// Rounding test. The fast path leaves hi + (a + b) unnormalised, with b its last term (w^2 q
// inner and middle, l (fh + fl) outer) and a the sum of the others: |a| < 2^-33.7 inner,
// < 2^-32.6 middle, < 2^-20.8 hi outer; |a + b| < 2^-17.2 inner, < 2^-17.62 middle, < 2^-20.7 hi
// outer. The true value lies within bound * acos x <= bound * hi (1 + 2^-16.6) of hi + (a + b)
// exactly (the bound also covers the rounding of a + b, which the test does not do). The test
// adds e last but one, (a -+ e) + b, so that it waits on b for two sums only: fl(a -+ e) moves by
// < 2^-53 |a -+ e| and the sum with b by < 2^-53 |a -+ e + b| (at most half an ulp of 2^-18 in
// the middle part), together < 2^-86 + 2^-70.2 hi inner, < 2^-70 hi middle (hi >= 0.505),
// < 2^-72.7 hi outer. So e = hi (bound + 2^-70), hi (bound + 0x1.5p-70), resp. hi (bound +
// 2^-72), encloses the true value (each allowance exceeds those roundings by more than 2^-74 hi,
// far above bound * 2^-16.6 hi); when hi + ((a - e) + b) and hi + ((a + e) + b) round alike, so
// does it (rounding is monotone). The test fails with probability about 2^-14 (inner), 2^-13
// (middle) and 2^-17 (outer).
//
// Exact path. acos decreases, so acos x lies below the midpoint m between two doubles exactly
// when cos m < x. The result is hi or one of its neighbours; cos at the two midpoints around hi
// is summed by its Taylor series in fixed point (Fixed<N>, 64(N-1) fraction bits, every
// midpoint and every x >= 2^-56 exact in it) with a rigorous error bound: each term
// t_k = t_(k-1) m^2 / ((2k - 1) 2k) is off by less than 2k + 8 units in all (m < 3.2, so the
// error of a term grows by at most m^2 / 2 < 5 once and then shrinks), the tail by at most one
// unit. cos m - x is never zero (cos m is transcendental for a non-zero dyadic m), so raising
// the precision (128, 256, 512, 960 bits: 128 settle most cases cheaply; those within about
// 2^-69 ulp of a midpoint go on, and more for small results, as |cos m - x| ~ sin m |acos x - m|)
// decides it; the hardest cases of acos lie far closer to 2^-53 ulp than to the 2^-900
// the largest precision resolves.
#include <array>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>

#include <nemra_kernel/cr/detail/cr_acos.hpp>
#include <nemra_kernel/cr/detail/cr_acos_tables.hpp>
#include <nemra_kernel/cr/detail/cr_fixed.hpp>
#include <nemra_kernel/cr_math.hpp>

namespace nemra_kernel {
namespace {

using detail::fastTwoSum;
using detail::kAcosAtCentres;
using detail::kAsinCentres;
using detail::kOuterCentres;

constexpr double kHalfPiHi = 0x1.921fb54442d18p0;
constexpr double kPiHi = 0x1.921fb54442d18p1;
constexpr double kPiLo = 0x1.1a62633145c07p-53;
// The bounds plus the roundings of a -+ e and of its sum with b: < 2^-70.2 absolute (inner,
// where acos x > 1.047), < 2^-70 relative (middle) and < 2^-72.7 relative (outer).
constexpr double kInnerTest = detail::kAcosFastBoundInner + 0x1p-70;
constexpr double kMiddleTest = detail::kAcosFastBoundMiddle + 0x1.5p-70;
constexpr double kOuterTest = detail::kAcosFastBoundOuter + 0x1p-72;

// (y + kSplit33) - kSplit33 is y rounded to a multiple of 2^-33, exactly, for |y| <= 2^-8.
constexpr double kSplit33 = 0x1.8p19;
// Likewise to a multiple of 2^-26 for 1 <= |y| < 2.
constexpr double kSplit26 = 0x1.8p26;

// The fast path's approximation hi + (a + b), b its last term to arrive (see the rounding test).
struct Parts {
  double hi, a, b;
};

inline std::uint64_t bitsOf(double v) noexcept { return std::bit_cast<std::uint64_t>(v); }

// A row of Taylor coefficients: T0 as a double-double, T1 as a 26-bit head and a rest, T2..T9.
using TaylorRow = std::array<double, 12>;

// T0 + T1 w + w^2 (T2 + T3 w + ... + T9 w^7) for |w| <= 2^-8 as hi + (a + b), b = w^2 q the
// last to arrive: w^2 q = w^2 (T2 + T3 w) + w^4 (T4 + T5 w) + w^6 (T6 + T7 w) + w^8 (T8 + T9 w),
// the four pairs and the powers of w side by side, then a sum of depth two; T1 w = T1 wh + T1 wl
// with wh = w to a multiple of 2^-33, at most 26 bits, so the 26-bit head of T1 times wh is exact.
// b is taken times sign (+-1, exact, entering through the powers of w, which are ready before the
// row), hi and a are not.
[[gnu::always_inline]] inline Parts taylorSum(const double* t, double w, double sign) noexcept {
  const double w2 = w * w;
  const double sw2 = sign * w2;
  const double w4 = w2 * w2;
  const double sw4 = sw2 * w2;
  const double sw6 = sw4 * w2;
  const double sw8 = sw4 * w4;
  const double w2q = (sw2 * (t[4] + t[5] * w) + sw4 * (t[6] + t[7] * w)) +
                     (sw6 * (t[8] + t[9] * w) + sw8 * (t[10] + t[11] * w));
  const double wh = (w + kSplit33) - kSplit33;
  const double wl = w - wh;
  const detail::DoubleDouble h = fastTwoSum(t[0], t[2] * wh);
  return {h.hi, (t[1] + h.lo) + (t[2] * wl + t[3] * w), w2q};
}

// The inner table by signed centre: row j is c = (j - 64)/128, j = 0..128, with acos c as a
// double-double, then the Taylor coefficients D_k = -A_k of acos at c, A_k those of asin as in
// kAsinCentres. asin is odd, so A_k at -c is A_k at c with the sign of every even degree flipped
// (all exact).
constexpr auto kInner = [] {
  std::array<TaylorRow, 129> rows{};
  for (std::size_t j = 0; j <= 128; ++j) {
    const bool negative = j < 64;
    const std::size_t i = negative ? 64 - j : j - 64;
    rows[j][0] = kAcosAtCentres[i][negative ? 2 : 0];
    rows[j][1] = kAcosAtCentres[i][negative ? 3 : 1];
    for (std::size_t m = 0; m < 10; ++m) {  // columns 0 and 1 hold degree 1, m >= 2 degree m
      const bool flip = negative && m >= 2 && m % 2 == 0;
      rows[j][m + 2] = flip ? kAsinCentres[i][m] : -kAsinCentres[i][m];
    }
  }
  return rows;
}();

// acos x as an unevaluated sum hi + (a + b) (|a + b| < 2^-17.2, not normalised) for
// 2^-56 <= |x| <= 1/2, within kAcosFastBoundInner relative.
[[gnu::always_inline]] inline Parts acosInner(double x) noexcept {
  constexpr double round7 = 0x1.8p45;  // its ulp is 2^-7, its low byte 0
  const double rounded = x + round7;
  const double c = rounded - round7;  // x to the nearest multiple of 2^-7, with its sign
  // The low byte of rounded is 128 c modulo 256: 64 more gives the row.
  const TaylorRow& t = kInner[(bitsOf(rounded) + 64) & 0xff];
  return taylorSum(t.data(), x - c, 1.0);  // w = x - c exact, |w| <= 2^-8
}

// acos x as an unevaluated sum hi + (a + b) (|a + b| < 2^-17.62, not normalised) for
// 1/2 < |x| <= 7/8, within kAcosFastBoundMiddle relative.
[[gnu::always_inline]] inline Parts acosMiddle(double x) noexcept {
  const double s = 1.0 - std::fabs(x);  // exact, in [1/8, 1/2)
  // c = s rounded to 7 significant bits, the centre of s's row: half of bit 46 added to s's bits
  // rounds its significand there (a carry moves into the exponent) before the bits below are
  // cleared. w = s - c is exact and |w| <= 2^-7 c. The row is c's exponent and top six fraction
  // bits, counted from 1/8 (c may be 1/2, the last row). Integer steps: the row's address does
  // not wait on floating-point rounding.
  const std::uint64_t c_bits =
      (bitsOf(s) + (std::uint64_t{1} << 45)) & ~((std::uint64_t{1} << 46) - 1);
  const double w = s - std::bit_cast<double>(c_bits);
  const double* G = detail::kMiddleCentres[(c_bits >> 46) - (bitsOf(0.125) >> 46)];
  // For x < 0, acos x = pi - G(s): the terms taken with the sign of x (exact), on a base of pi
  // (of 0 for x > 0), looked up by the sign bit rather than chosen by a branch that random signs
  // would mispredict.
  static constexpr double kSign[2] = {1.0, -1.0};
  static constexpr double kBaseHi[2] = {0.0, kPiHi};
  static constexpr double kBaseLo[2] = {0.0, kPiLo};
  const std::uint64_t negative = bitsOf(x) >> 63;
  const double sign = kSign[negative];
  const Parts g = taylorSum(G, w, sign);
  // pi - (g.hi + ...) for x < 0: pi's head exceeds g.hi, so the Fast2Sum is exact; for x > 0
  // the base is 0 and nothing rounds.
  const detail::DoubleDouble r = fastTwoSum(kBaseHi[negative], sign * g.hi);
  return {r.hi, (r.lo + kBaseLo[negative]) + sign * g.a, g.b};
}

// The outer table by sign: kOuter[0] = kOuterCentres with base 0 for x > 0, kOuter[1] its
// negation with base pi for x < 0, where acos x = pi - sqrt(2s) F(s) (exact sign flips).
struct OuterRow {
  double base_hi, base_lo;
  double f[10];
};

constexpr auto kOuter = [] {
  std::array<std::array<OuterRow, 17>, 2> rows{};
  for (std::size_t i = 0; i <= 16; ++i) {
    rows[1][i].base_hi = kPiHi;
    rows[1][i].base_lo = kPiLo;
    for (std::size_t m = 0; m < 10; ++m) {
      rows[0][i].f[m] = kOuterCentres[i][m];
      rows[1][i].f[m] = -kOuterCentres[i][m];
    }
  }
  return rows;
}();

// acos x as an unevaluated sum hi + (a + b) (|a + b| < 2^-20.7 hi) for 7/8 < |x| < 1, within
// kAcosFastBoundOuter relative.
[[gnu::always_inline]] inline Parts acosOuter(double x) noexcept {
  const double s = 1.0 - std::fabs(x);
  const double s2 = s + s;
  const double h = std::sqrt(s2);

  constexpr double round7 = 0x1.8p45;
  const double rounded = s + round7;
  const OuterRow& row = kOuter[bitsOf(x) >> 63][bitsOf(rounded) & 0xff];
  const double* t = row.f;
  const double v = s - (rounded - round7);
  const double v2 = v * v;
  const double g = (t[4] + t[5] * v) + v2 * ((t[6] + t[7] * v) + v2 * (t[8] + t[9] * v));
  const double vh = (v + kSplit33) - kSplit33;  // as wh in taylorSum: F1 head * vh is exact
  const double vl = v - vh;
  const double p1 = t[2] * vh;
  // F = fh + fl with fh = F0 + p1 rounded to a multiple of 2^-26 (27 bits): F0 - fh and then
  // (F0 - fh) + p1 are exact.
  const double fh = ((t[0] + p1) + kSplit26) - kSplit26;
  const double fl = ((t[1] + (t[2] * vl + t[3] * v)) + ((t[0] - fh) + p1)) + v2 * g;

  // sqrt(2s) = hr + l with hr = h truncated to 26 bits: d = 2s - hr^2 is exact, and
  // l = d / (sqrt(2s) + hr).
  const double hr = detail::truncate26(h);
  const double d = s2 - hr * hr;
  const double l = d / (h + hr);

  const double P = hr * fh;  // exact: 26 bits times 27
  // acos x = 0 + (P + hr fl + l F) for x > 0, pi + (P + hr fl + l F) for x < 0 (P, fl, F
  // negative then). l, behind the square root and the division, comes last.
  const detail::DoubleDouble r = fastTwoSum(row.base_hi, P);
  return {r.hi, (r.lo + row.base_lo) + hr * fl, l * (fh + fl)};
}

// The sign of cos m - x, or 0 when N limbs cannot tell; m in [0, 3.2], both multiples of units.
template <int N>
int cosMinusSign(const detail::Fixed<N>& m, const detail::Fixed<N>& x) noexcept {
  const detail::Fixed<N> m2 = m.mul(m);
  detail::Fixed<N> term = detail::Fixed<N>::fromInt(1);
  detail::Fixed<N> sum = term;
  std::uint64_t k = 1;
  for (;; ++k) {
    term = term.mul(m2).divSmall((2 * k - 1) * (2 * k));
    if (term.isZero()) break;
    sum = (k % 2 == 1) ? sum - term : sum + term;
  }
  return detail::signWithin(sum - x, 2 * k + 8);
}

// The correctly rounded acos x from the candidate y (the result is y or a neighbour), or false
// when N limbs do not suffice.
template <int N>
bool decide(double x, double y, double* out) noexcept {
  using F = detail::Fixed<N>;
  // y >= acos(1 - 2^-53) > 2^-26 is normal: half its ulp is 2^(exponent - 53), a quarter below
  // a power of two.
  const std::uint64_t biased = bitsOf(y) >> 52;
  const double half_ulp = std::bit_cast<double>((biased - 53) << 52);
  const bool power_of_two = (bitsOf(y) & 0x000fffffffffffffu) == 0;
  const F fy = F::fromDouble(y);
  const F fx = F::fromDouble(x);
  const F below = fy - F::fromDouble(power_of_two ? half_ulp * 0.5 : half_ulp);
  const F above = fy + F::fromDouble(half_ulp);
  const int low = cosMinusSign(below, fx);
  if (low == 0) return false;
  if (low < 0) {  // acos x < the lower midpoint
    *out = std::bit_cast<double>(bitsOf(y) - 1);
    return true;
  }
  const int high = cosMinusSign(above, fx);
  if (high == 0) return false;
  *out = high > 0 ? std::bit_cast<double>(bitsOf(y) + 1) : y;
  return true;
}

[[gnu::noinline]] double exactPath(double x, double y) noexcept {
  double out = y;
  if (decide<3>(x, y, &out) || decide<5>(x, y, &out) || decide<9>(x, y, &out) ||
      decide<16>(x, y, &out))
    return out;
  return y;  // unreachable: no double is that close to a midpoint
}

// acos x from the fast path's r = hi + (a + b): the double every value within test |hi| of r
// rounds to, or the exact path's answer when they do not all round alike.
[[gnu::always_inline]] inline double roundedOrExact(double x, Parts r, double test) noexcept {
  const double e = r.hi * test;
  const double below = r.hi + ((r.a - e) + r.b);
  const double above = r.hi + ((r.a + e) + r.b);
  if (below == above) return below;
  return exactPath(x, r.hi + (r.a + r.b));
}

// The outer part with its rounding test, out of line: its square root keeps a call (errno for
// a negative argument) that would otherwise give every call of cr::acos a stack frame.
[[gnu::noinline]] double acosOuterRounded(double x) noexcept {
  return roundedOrExact(x, acosOuter(x), kOuterTest);
}

[[gnu::noinline, gnu::cold]] double acosSpecial(double x) noexcept {
  if (x == 1.0) return 0.0;
  if (x == -1.0) return kPiHi;
  if (std::fabs(x) < 1.0) return kHalfPiHi;  // |x| < 2^-56
  return std::numeric_limits<double>::quiet_NaN();
}

}  // namespace

namespace detail {

DoubleDouble acosFast(double x) noexcept {
  const double a = std::fabs(x);
  const Parts r = a <= 0.5 ? acosInner(x) : a <= 0.875 ? acosMiddle(x) : acosOuter(x);
  return fastTwoSum(r.hi, r.a + r.b);
}

}  // namespace detail

double cr::acos(double x) noexcept {
  const std::uint64_t abs_bits = bitsOf(x) & 0x7fffffffffffffffu;
  // One unsigned comparison sends |x| < 2^-56, |x| >= 1 and NaN out of line.
  if (abs_bits - 0x3c70000000000000u >= 0x3ff0000000000000u - 0x3c70000000000000u)
    return acosSpecial(x);
  if (abs_bits <= 0x3fe0000000000000u) return roundedOrExact(x, acosInner(x), kInnerTest);
  if (abs_bits <= 0x3fec000000000000u) return roundedOrExact(x, acosMiddle(x), kMiddleTest);
  return acosOuterRounded(x);  // |x| > 7/8
}

}  // namespace nemra_kernel
