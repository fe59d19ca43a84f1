// Internals of the correctly rounded sin, cos and tan: the argument
// reduction x = n*pi/512 + r, the table of sin(i*pi/512), the fast evaluation of sin(n*pi/512 + r)
// with its error bound, and the fixed-point pieces of the exact path (also used by acos).
#ifndef NEMRA_KERNEL_CR_DETAIL_CR_TRIG_HPP
#define NEMRA_KERNEL_CR_DETAIL_CR_TRIG_HPP

#include <array>
#include <bit>
#include <cstdint>

#include <nemra/config.hpp>
#include <nemra_kernel/cr/detail/cr_fixed.hpp>
#include <nemra_kernel/cr/detail/double_double.hpp>

namespace nemra_kernel::detail {

// --- Bit helpers ------------------------------------------------------------------------------

[[nodiscard]] [[gnu::always_inline]] inline double absd(double v) noexcept {
  return std::bit_cast<double>(std::bit_cast<std::uint64_t>(v) & ~(std::uint64_t{1} << 63));
}

// 2^k for -1022 <= k <= 1023.
[[nodiscard]] [[gnu::always_inline]] inline double pow2(int k) noexcept {
  return std::bit_cast<double>(static_cast<std::uint64_t>(k + 1023) << 52);
}

// --- Tables -----------------------------------------------------------------------------------

// sin(j*pi/512) for j = 0..1023 as double-double (hi, lo), within 2^-107 relative, hi rounded to
// 27 significant bits (hh, so that its product with a 26-bit number is exact), and the rest
// (hi - hh) + lo rounded (c, within 2^-80 of sin); cos(j*pi/512) is entry j + 256 (mod 1024).
// 32 bytes an entry: the index is a shift.
struct TrigEntry {
  double hi, lo, hh, c;
};
extern const std::array<TrigEntry, 1024> kSinTable;
// The bits of 2/pi after the binary point, 64 per word, most significant first.
inline constexpr int kTwoOverPiWords = 34;
extern const std::uint64_t kTwoOverPi[kTwoOverPiWords];
// pi/2 as an integer part and 15 fraction limbs, most significant first (truncated).
extern const std::uint64_t kHalfPi[16];

// --- Reduction --------------------------------------------------------------------------------

// m * 2^e * (2/pi) modulo 2^64 as a fixed-point number, truncated: the exact value lies in
// [result, result + 2 units). m < 2^53, and e >= -64N + 64 (so that 2^e m is at least a unit's
// worth of bits).
template <int N>
[[nodiscard]] Fixed<N> scaledTwoOverPi(std::uint64_t m, int e) noexcept {
  // Accumulator of N + 2 limbs: the result times 2^128 (two guard limbs).
  constexpr int M = N + 2;
  std::uint64_t acc[std::size_t{M}] = {};
  const int sh = e + 64 * N;  // m * word k lands at bit sh - 64k of the accumulator
  int k = sh >= 64 * M ? (sh - 64 * M) / 64 + 1 : 0;
  for (; k < kTwoOverPiWords; ++k) {
    const int o = sh - 64 * k;
    if (o <= -117) break;  // this word and all after it add up to less than 2^-128 unit
    U128 v = static_cast<U128>(m) * kTwoOverPi[k];
    int limb = 0;
    std::uint64_t parts[3];
    if (o < 0) {
      v >>= -o;
      parts[0] = static_cast<std::uint64_t>(v);
      parts[1] = static_cast<std::uint64_t>(v >> 64);
      parts[2] = 0;
    } else {
      limb = o / 64;
      const int b = o % 64;
      parts[0] = static_cast<std::uint64_t>(v << b);
      parts[1] = static_cast<std::uint64_t>((v << b) >> 64);
      parts[2] = b == 0 ? 0 : static_cast<std::uint64_t>(v >> (128 - b));
    }
    std::uint64_t carry = 0;
    for (int i = limb; i < M; ++i) {
      const int j = i - limb;
      const U128 s = static_cast<U128>(acc[i]) + (j < 3 ? parts[j] : 0) + carry;
      acc[i] = static_cast<std::uint64_t>(s);
      carry = static_cast<std::uint64_t>(s >> 64);
      if (j >= 2 && carry == 0) break;
    }
  }
  Fixed<N> r{};
  for (int i = 0; i < N; ++i) r.w[i] = acc[i + 2];
  return r;
}

// x = n * pi/512 + rh + rl for |x| = ax >= 2^-27 (finite), with |rh + rl| <= pi/1024 (1 + 2^-29)
// and |rl| <= 2^-32 |rh|; the reduction's absolute error is at most err + 2^-103 |r|.
struct TrigReduced {
  std::uint32_t n;
  double rh;
  double rl;
  double err;
};

inline constexpr double kInvPiOver512 = 0x1.45f306dc9c883p+7;
inline constexpr double kPiOver512Hi = 0x1.921fb54442d18p-8;
inline constexpr double kPiOver512Lo = 0x1.1a62633145c07p-62;
// pi/512 = C1 + C2 + C3 + 2^-127.3, C1 and C2 with at most 31 significant bits.
inline constexpr double kCodyWaite1 = 0x1.921fb54400000p-8;
inline constexpr double kCodyWaite2 = 0x1.0b4611a800000p-42;
inline constexpr double kCodyWaite3 = -0x1.d9cceba3f91f2p-74;

// |x| >= 2^14, or a remainder below 2^-18 (x within 2^-18 of a multiple of pi/512).
[[nodiscard]] TrigReduced reduceLarge(double ax) noexcept;

// Cody-Waite for 2^-27 <= |x| < 2^14, x of either sign (n is then taken modulo 2^32, which the
// table index reduces further): |n| < 2^22, so n*C1 and n*C2 are exact, and x - n*C1 is exact
// (below 2^-8 <= 2|x| when n != 0). When the remainder is at least 2^-18 > |n*C2|, Fast2Sum makes
// u - n*C2 = rh + e exactly and rl = e - n*C3 is at most 2^-32 |rh|. Error: |n| (2^-127.3 from
// the constants + 2^-126.1 from n*C3 + 2^-126.1 from e - n*C3) < 2^-102.8, plus 2^-106 |r|. As
// |r| >= 2^-19.1 (or n = 0 and the reduction is exact), this is below 2^-83.6 of the result of
// sin, cos and tan (|V| >= |r| / 1.01 when A = 0, |V| >= 2^-8.4 otherwise; likewise for tan),
// inside their relative bounds: err is 0. codyWaite does the steps for reduceSmall and reduceHot:
// it fills *out and returns u = x - n*C1 and n as a double, on which the two decide whether the
// reduction holds.
struct CodyWaite {
  double u, nd;
};
[[nodiscard]] [[gnu::always_inline]] inline CodyWaite codyWaite(double x,
                                                                TrigReduced* out) noexcept {
  const double t = x * kInvPiOver512 + 0x1.8p52;
  const auto n = static_cast<std::uint32_t>(std::bit_cast<std::uint64_t>(t));
  const double nd = t - 0x1.8p52;
  const double u = x - nd * kCodyWaite1;
  const double v = nd * kCodyWaite2;
  const double rh = u - v;
  const double e = (u - rh) - v;
  *out = {n, rh, e - nd * kCodyWaite3, 0.0};
  return {u, nd};
}

// False (leaving the case to reduceLarge) when the remainder is below 2^-18.
[[nodiscard]] [[gnu::always_inline]] inline bool reduceSmall(double x, TrigReduced* out) noexcept {
  const CodyWaite c = codyWaite(x, out);
  return absd(c.u) >= 0x1p-18 || out->n == 0;
}

// The public functions' first path: the same reduction for x of either sign, true when |n| <
// 2^22 (|x| < 2^14.65: n*C1 and n*C2 are still exact, and x - n*C1 is exact, both x and n*C1
// being multiples of 2^-38 when |x| >= 2^14) and |u| >= 2^-18, so that the analysis above holds.
// Two comparisons in double: u*u >= 2^-36 exactly when |u| >= 2^-18 (rounding is monotonic, and
// the largest double below 2^-18 squares to below 2^-36), and nd*nd < 2^44 exactly when |nd| <
// 2^22 (nd is an integer). False for NaN and infinities (nd or u is then NaN or infinite) and for
// |x| < 2^-18 (n = 0 and u = x): the callers' cold paths take those.
[[nodiscard]] [[gnu::always_inline]] inline bool reduceHot(double x, TrigReduced* out) noexcept {
  const CodyWaite c = codyWaite(x, out);
  return c.u * c.u >= 0x1p-36 && c.nd * c.nd < 0x1p44;
}

[[nodiscard]] [[gnu::always_inline]] inline TrigReduced reduceTrig(double ax) noexcept {
  TrigReduced red;
  if (ax < 0x1p14 && reduceSmall(ax, &red)) return red;
  return reduceLarge(ax);
}

// --- Fast evaluation --------------------------------------------------------------------------

// The parts of sin(a + r) and cos(a + r) that depend on r alone: rh split into a 26-bit head
// and the rest, rh^2/2, cos rh - 1 and sin rh - rh.
struct TrigPoly {
  double rhh, rhl, h, cm1, sm;
};

[[nodiscard]] [[gnu::always_inline]] inline TrigPoly trigPoly(double rh) noexcept {
  const DoubleDouble rs = split26(rh);
  const double z = rh * rh;
  const double h = 0.5 * z;  // exact
  const double cm1 = (z * z) * (0x1.5555555555555p-5 + z * -0x1.6c16c16c16c17p-10) - h;
  const double sm =
      (rh * z) * (-0x1.5555555555555p-3 + z * (0x1.1111111111111p-7 + z * -0x1.a01a01a01a01ap-13));
  return {rs.hi, rs.lo, h, cm1, sm};
}

// sin(a + r) with a = (n mod 1024) * pi/512 plus `quarter` quarter turns, as s + u (s and u
// not normalised: |u| < 2^-15 |s|); *errA receives A (its sign is s's), the size of the table term
// the error bound is proportional to. Bound (docs/cr_math.md, "sin and cos"): |s + u - sin(a + r)|,
// plus the roundings of u -+ err in the rounding test, is at most 0x1.7p-68 |A| + 0x1.7p-70 |s|.
[[nodiscard]] [[gnu::always_inline]] inline DoubleDouble sinTable(std::uint32_t n,
                                                                  std::uint32_t quarter,
                                                                  const TrigReduced& r,
                                                                  const TrigPoly& p,
                                                                  double* errA) noexcept {
  // (A, B) = (sin, cos) of the table angle plus the quarter turns.
  // Byte offsets of the two entries: one shift and two masks.
  const std::uint32_t oa = ((n + 256 * quarter) << 5) & 0x7FE0u;
  const std::uint32_t ob = (oa + 0x2000u) & 0x7FE0u;
  const auto* base = reinterpret_cast<const unsigned char*>(kSinTable.data());
  const TrigEntry& ta = *reinterpret_cast<const TrigEntry*>(base + oa);
  const TrigEntry& tb = *reinterpret_cast<const TrigEntry*>(base + ob);
  const double ah = ta.hi, al = ta.lo;
  const double bh = tb.hi, bhh = tb.hh;
  // A + Bhh*rhh = s + t exactly: the product has at most 53 bits, and |A| >= sin(pi/512) >
  // |Bhh*rhh| unless A = 0. B rh - Bhh rhh = Bhh rhl + (Bh - Bhh + Bl) rh.
  const DoubleDouble s = fastTwoSum(ah, bhh * p.rhh);
  const double lin = bhh * p.rhl + tb.c * r.rh;
  // rl's share of A (cos r - 1) + B (sin r - r): -(A sin rh + B (1 - cos rh)) rl, to within
  // (|A| rh^2/6 + |B| rh^2 rh/24... ) rl, below 2^-100 |A| + 2^-95 |B r|.
  const double u2 = bh * r.rl - (ah * r.rh + bh * p.h) * r.rl;
  // The small terms first (their sums round by less than 2^-76.7 |B r| + 2^-103 |A|), s.lo, the
  // last of the head's terms to be ready, then sin r - r and cos r - 1.
  double u = s.lo + ((al + lin) + u2);
  u = u + bh * p.sm;
  u = u + ah * p.cm1;
  *errA = ah;
  return {s.hi, u};
}

// The double nearest to hi + lo when every value within err of it rounds to that double: the
// interval's ends hi + (lo -+ err) are rounded, and rounding is monotonic. lo is not normalised
// (|lo| < 2^-15 |hi|), so the roundings of lo -+ err, at most 2^-53 (|lo| + |err|), must be inside
// err: each fast path's bound includes them. err may have either sign (the test is symmetric).
[[nodiscard]] [[gnu::always_inline]] inline bool roundsUnambiguouslyRaw(DoubleDouble v, double err,
                                                                        double* out) noexcept {
  const double a = v.hi + (v.lo - err);
  const double b = v.hi + (v.lo + err);
  *out = a;
  return a == b;
}

// sin (quarter 0) or cos (quarter 1) of ax = |x| >= 2^-27 (finite) as hi + lo, and a bound on
// its error (docs/cr_math.md, "sin and cos"; err may have either sign, the rounding tests take
// |err|).
struct TrigFast {
  DoubleDouble v;
  double err;
};

[[nodiscard]] [[gnu::always_inline]] inline TrigFast sinCosFast(const TrigReduced& red,
                                                                std::uint32_t quarter) noexcept {
  double a = 0.0;
  const DoubleDouble v = sinTable(red.n, quarter, red, trigPoly(red.rh), &a);
  // A and s have the same sign (|A| > |Bhh rhh| unless A = 0), so e is the bound with the sign
  // of s, which the (symmetric) rounding test accepts; red.err is 0 on the Cody-Waite path,
  // where the compiler drops the other branch.
  const double e = 0x1.7p-68 * a + 0x1.7p-70 * v.hi;
  return {v, red.err == 0.0 ? e : absd(e) + red.err};
}

// --- Exact path -------------------------------------------------------------------------------

// One Taylor series in fixed point for |r| <= 1.6: sin r (first term r, odd = true) or cos r
// (first term 1); returns a bound, in units, on its error (relative to the exact sin or cos of
// the fixed-point value). The terms are summed by magnitude, |r| in place of r and the sign put
// back at the end (sin is odd), so that mul and divSmall never negate. With scale s > 0, r holds
// the remainder times 2^s (|r| 2^-s <= 1.6, s <= 62) and so does sin; cos is not scaled.
template <int N>
std::uint64_t taylorSinOrCos(const Fixed<N>& r, bool odd, Fixed<N>* out, int scale = 0) noexcept {
  const bool negative = odd && r.isNegative();
  const Fixed<N> a = r.abs();
  const Fixed<N> r2 = scale == 0 ? a.mul(a) : a.mul(a).shr(2 * scale);  // within 1.25 units
  Fixed<N> term = odd ? a : Fixed<N>::fromInt(1);
  Fixed<N> sum = term;
  const std::uint64_t shift = odd ? 1 : 0;
  std::uint64_t terms = 0;
  for (std::uint64_t k = 1;; ++k) {
    // Each term is off by at most 5 units: e_k <= 0.43 e_(k-1) + 2.3 from the product and the
    // quotient below (r^2 <= 2.56 over divisors >= 6; the first cosine step only once).
    term = term.mul(r2).divByPair(2 * k - 1 + shift);
    if (term.isZero()) break;
    sum = (k & 1) != 0 ? sum - term : sum + term;
    ++terms;
  }
  *out = negative ? sum.neg() : sum;
  // 5 units per term, and the terms from the first zero one on add up to less than 10 units.
  return 5 * terms + 10;
}

// taylorSinOrCos (scale 0) at two points in one loop, the two chains side by side; as in
// sinCosSeries, the bound of each holds with the count of steps in which either term is non-zero.
template <int N>
std::uint64_t taylorSinOrCosPair(const Fixed<N>& r0, const Fixed<N>& r1, bool odd, Fixed<N>* out0,
                                 Fixed<N>* out1) noexcept {
  const Fixed<N> a0 = r0.abs(), a1 = r1.abs();
  const Fixed<N> r20 = a0.mul(a0), r21 = a1.mul(a1);
  Fixed<N> t0 = odd ? a0 : Fixed<N>::fromInt(1), t1 = odd ? a1 : Fixed<N>::fromInt(1);
  Fixed<N> sum0 = t0, sum1 = t1;
  const std::uint64_t shift = odd ? 1 : 0;
  std::uint64_t terms = 0;
  for (std::uint64_t k = 1;; ++k) {
    t0 = t0.mul(r20).divByPair(2 * k - 1 + shift);
    t1 = t1.mul(r21).divByPair(2 * k - 1 + shift);
    if (t0.isZero() && t1.isZero()) break;
    if ((k & 1) != 0) {
      sum0 = sum0 - t0;
      sum1 = sum1 - t1;
    } else {
      sum0 = sum0 + t0;
      sum1 = sum1 + t1;
    }
    ++terms;
  }
  *out0 = odd && r0.isNegative() ? sum0.neg() : sum0;
  *out1 = odd && r1.isNegative() ? sum1.neg() : sum1;
  return 5 * terms + 10;
}

// sin r and cos r for |r| <= 1.6 by their series (sin scaled as r is), as taylorSinOrCos does
// each, but in one loop: the two chains of products and quotients run side by side. Once a
// series' term truncates to zero all its later ones do, so the bound of each holds with the
// count of steps in which either term is non-zero.
template <int N>
std::uint64_t sinCosSeries(const Fixed<N>& r, Fixed<N>* s, Fixed<N>* c, int scale) noexcept {
  const bool negative = r.isNegative();
  const Fixed<N> a = r.abs();
  const Fixed<N> r2 = scale == 0 ? a.mul(a) : a.mul(a).shr(2 * scale);
  Fixed<N> ts = a, tc = Fixed<N>::fromInt(1);
  Fixed<N> sum_s = ts, sum_c = tc;
  std::uint64_t terms = 0;
  for (std::uint64_t k = 1;; ++k) {
    tc = tc.mul(r2).divByPair(2 * k - 1);
    ts = ts.mul(r2).divByPair(2 * k);
    if (tc.isZero() && ts.isZero()) break;
    if ((k & 1) != 0) {
      sum_c = sum_c - tc;
      sum_s = sum_s - ts;
    } else {
      sum_c = sum_c + tc;
      sum_s = sum_s + ts;
    }
    ++terms;
  }
  *s = negative ? sum_s.neg() : sum_s;
  *c = sum_c;
  return 5 * terms + 10;
}

// The correctly rounded sin (fn 0), cos (1) or tan (2) of ax = |x| >= 2^-27, finite, with N
// limbs; false when N limbs do not decide the rounding.
template <int N>
[[nodiscard]] bool trigExact(double ax, int fn, double* out) noexcept;

// trigExact with 3, 5, 9 or 16 limbs, for the tests of each precision step.
[[nodiscard]] NEMRA_API bool trigExactForTest(double ax, int fn, int limbs, double* out) noexcept;

// The three functions' exact path: raises the precision until the rounding is decided.
[[nodiscard]] double trigSlow(double ax, int fn) noexcept;

// The fast path's result and error bound, for the tests that check the bound: sin (fn 0),
// cos (1) or tan (2) of x, |x| >= 2^-27, as hi + lo with |hi + lo - f(x)| <= err.
[[nodiscard]] NEMRA_API TrigFast trigFastForTest(double x, int fn) noexcept;

}  // namespace nemra_kernel::detail

#endif
