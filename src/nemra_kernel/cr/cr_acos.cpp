// cr::acos correctly rounded to nearest: a fast path in double-double from the tables of
// cr_acos_tables.hpp in three parts (|x| <= 1/2, to 7/8, beyond), within 2^-67.5, 2^-67 and 2^-70
// of the result, relative (kAcosFastBoundInner, Middle, Outer); a rounding test; and an exact path
// that compares cos at the midpoints around the candidate with x, in fixed point. The special
// cases, the method, the bounds and their derivation: docs/cr_math.md, section "acos".
#include <array>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>

#include <nemra_kernel/cr/detail/cr_acos.hpp>
#include <nemra_kernel/cr/detail/cr_acos_tables.hpp>
#include <nemra_kernel/cr/detail/cr_fixed.hpp>
#include <nemra_kernel/cr/detail/cr_trig.hpp>
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

// The signs of cos m0 - x and cos m1 - x (*s0, *s1), 0 when N limbs cannot tell; 0 <= m0 <= m1
// <= 3.2, m1 - m0 < 2^-50, all multiples of units. Both are first brought within 0.8 of 0, pi/2
// or pi, chosen by m0 (cos m = cos m, -sin(m - pi/2), -cos(m - pi)), with pi/2 truncated to N
// limbs (pi/2 below by less than one unit, pi by less than two): one short series at each point
// instead of that of cos m itself, its bound plus those units (sin and cos are 1-Lipschitz); the
// two series run in one loop.
template <int N>
void cosMinusSigns(const detail::Fixed<N>& m0, const detail::Fixed<N>& m1,
                   const detail::Fixed<N>& x, int* s0, int* s1) noexcept {
  using F = detail::Fixed<N>;
  F v0, v1;
  if (compare(m0, F::fromDouble(0.78)) < 0) {
    const std::uint64_t err = detail::taylorSinOrCosPair(m0, m1, false, &v0, &v1);
    *s0 = detail::signWithin(v0 - x, err);
    *s1 = detail::signWithin(v1 - x, err);
    return;
  }
  const F half_pi = F::fromLimbsMsbFirst(detail::kHalfPi);
  const bool near_half_pi = compare(m0, F::fromDouble(2.36)) < 0;
  const F c = near_half_pi ? half_pi : half_pi + half_pi;
  const std::uint64_t err =  // |m - c| < 0.8
      detail::taylorSinOrCosPair(m0 - c, m1 - c, near_half_pi, &v0, &v1) + (near_half_pi ? 1 : 2);
  *s0 = -detail::signWithin(v0 + x, err);  // cos m - x = -(v + x)
  *s1 = -detail::signWithin(v1 + x, err);
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
  int low = 0, high = 0;
  cosMinusSigns(below, above, fx, &low, &high);
  if (low == 0) return false;
  if (low < 0) {  // acos x < the lower midpoint
    *out = std::bit_cast<double>(bitsOf(y) - 1);
    return true;
  }
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

bool acosExactForTest(double x, int limbs, double* out) noexcept {
  const double y = acosFast(x).hi;
  switch (limbs) {
    case 3:
      return decide<3>(x, y, out);
    case 5:
      return decide<5>(x, y, out);
    case 9:
      return decide<9>(x, y, out);
    default:
      return decide<16>(x, y, out);
  }
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
