// Multi-precision fixed-point arithmetic for the exact paths of the correctly rounded functions.
//
// Fixed<N> is a signed number of N 64-bit limbs in two's complement: w[N-1] is the integer part
// (-2^63 <= integer part < 2^63) and w[0..N-2] are the fraction, least significant first. Its value
// is (the signed integer of all the limbs) * 2^(-64(N-1)); one "unit" is 2^(-64(N-1)). Everything
// is integer arithmetic, so the bits are the same on every machine.
//
// Error conventions: add, sub, neg, mulSmall and shl are exact (barring overflow of the integer
// part, which the callers rule out); mul, divSmall, divByPair and shr truncate and are off by
// less than one unit; fromDouble is exact when the double is a multiple of one unit and below 2^63
// in magnitude. toDouble rounds the exact value of the fixed-point number to the nearest double
// (ties to even).
#ifndef NEMRA_KERNEL_CR_DETAIL_CR_FIXED_HPP
#define NEMRA_KERNEL_CR_DETAIL_CR_FIXED_HPP

#include <bit>
#include <cstddef>
#include <cstdint>

namespace nemra_kernel::detail {

__extension__ typedef unsigned __int128 U128;

template <int N>
struct Fixed {
  static_assert(N >= 2 && 64 * (N - 1) <= 960, "the smallest unit must stay a normal double");
  static constexpr int fractionBits = 64 * (N - 1);

  std::uint64_t w[std::size_t{N}];

  [[nodiscard]] static constexpr Fixed zero() noexcept {
    Fixed r{};
    return r;
  }

  [[nodiscard]] static constexpr Fixed fromInt(std::int64_t v) noexcept {
    Fixed r{};
    r.w[N - 1] = static_cast<std::uint64_t>(v);
    return r;
  }

  // The limbs given most significant first (integer part first), as tables are written.
  [[nodiscard]] static constexpr Fixed fromLimbsMsbFirst(const std::uint64_t* limbs) noexcept {
    Fixed r{};
    for (int i = 0; i < N; ++i) r.w[N - 1 - i] = limbs[i];
    return r;
  }

  [[nodiscard]] constexpr bool isNegative() const noexcept { return (w[N - 1] >> 63) != 0; }

  [[nodiscard]] constexpr bool isZero() const noexcept {
    for (int i = 0; i < N; ++i)
      if (w[i] != 0) return false;
    return true;
  }

  [[nodiscard]] constexpr Fixed neg() const noexcept {
    Fixed r{};
    std::uint64_t carry = 1;
    for (int i = 0; i < N; ++i) {
      std::uint64_t v = ~w[i] + carry;
      carry = (carry != 0 && v == 0) ? 1 : 0;
      r.w[i] = v;
    }
    return r;
  }

  [[nodiscard]] constexpr Fixed abs() const noexcept { return isNegative() ? neg() : *this; }

  [[nodiscard]] friend constexpr Fixed operator+(const Fixed& a, const Fixed& b) noexcept {
    Fixed r{};
    std::uint64_t carry = 0;
#pragma GCC unroll 16
    for (int i = 0; i < N; ++i) {
      U128 s = static_cast<U128>(a.w[i]) + b.w[i] + carry;
      r.w[i] = static_cast<std::uint64_t>(s);
      carry = static_cast<std::uint64_t>(s >> 64);
    }
    return r;
  }

  [[nodiscard]] friend constexpr Fixed operator-(const Fixed& a, const Fixed& b) noexcept {
    Fixed r{};
    std::uint64_t borrow = 0;
#pragma GCC unroll 16
    for (int i = 0; i < N; ++i) {
      U128 d = static_cast<U128>(a.w[i]) - b.w[i] - borrow;
      r.w[i] = static_cast<std::uint64_t>(d);
      borrow = static_cast<std::uint64_t>(d >> 64) != 0 ? 1 : 0;
    }
    return r;
  }

  // Signed comparison: negative, zero or positive as a <, =, > b.
  [[nodiscard]] friend constexpr int compare(const Fixed& a, const Fixed& b) noexcept {
    auto ta = static_cast<std::int64_t>(a.w[N - 1]);
    auto tb = static_cast<std::int64_t>(b.w[N - 1]);
    if (ta != tb) return ta < tb ? -1 : 1;
    for (int i = N - 2; i >= 0; --i)
      if (a.w[i] != b.w[i]) return a.w[i] < b.w[i] ? -1 : 1;
    return 0;
  }

  // The product, its magnitude truncated: off by less than one unit.
  [[nodiscard]] constexpr Fixed mul(const Fixed& b) const noexcept {
    const bool negative = isNegative() != b.isNegative();
    const Fixed x = abs();
    const Fixed y = b.abs();
    std::uint64_t p[std::size_t{2 * N}] = {};
    // Unrolled (N is at most 16), so that p stays in registers: a third of the instructions.
#pragma GCC unroll 16
    for (int i = 0; i < N; ++i) {
      std::uint64_t carry = 0;
#pragma GCC unroll 16
      for (int j = 0; j < N; ++j) {
        U128 t = static_cast<U128>(x.w[i]) * y.w[j] + p[i + j] + carry;
        p[i + j] = static_cast<std::uint64_t>(t);
        carry = static_cast<std::uint64_t>(t >> 64);
      }
      p[i + N] = carry;
    }
    Fixed r{};
#pragma GCC unroll 16
    for (int i = 0; i < N; ++i) r.w[i] = p[i + N - 1];
    return negative ? r.neg() : r;
  }

  // Exact product by a small unsigned integer (two's complement wraps correctly).
  [[nodiscard]] constexpr Fixed mulSmall(std::uint64_t k) const noexcept {
    Fixed r{};
    std::uint64_t carry = 0;
    for (int i = 0; i < N; ++i) {
      U128 t = static_cast<U128>(w[i]) * k + carry;
      r.w[i] = static_cast<std::uint64_t>(t);
      carry = static_cast<std::uint64_t>(t >> 64);
    }
    return r;
  }

  // The quotient by a positive integer, its magnitude truncated: off by less than one unit.
  // Schoolbook division from the top limb down; below 2^32 the divisor takes two 64-by-32 steps
  // per limb (each partial dividend, remainder and half limb, fits in 64 bits), native divisions
  // instead of 128-bit ones, with the same quotient.
  [[nodiscard]] constexpr Fixed divSmall(std::uint64_t d) const noexcept {
    const bool negative = isNegative();
    const Fixed x = abs();
    Fixed r{};
    if (d <= 0xFFFFFFFFu) {
      std::uint64_t rem = 0;  // < d
#pragma GCC unroll 16
      for (int i = N - 1; i >= 0; --i) {
        const std::uint64_t hi = (rem << 32) | (x.w[i] >> 32);
        const std::uint64_t qh = hi / d;  // < 2^32, as rem < d
        rem = hi - qh * d;
        const std::uint64_t lo = (rem << 32) | (x.w[i] & 0xFFFFFFFFu);
        const std::uint64_t ql = lo / d;
        rem = lo - ql * d;
        r.w[i] = (qh << 32) | ql;
      }
    } else {
      U128 rem = 0;
      for (int i = N - 1; i >= 0; --i) {
        U128 cur = (rem << 64) | x.w[i];
        r.w[i] = static_cast<std::uint64_t>(cur / d);
        rem = cur % d;
      }
    }
    return negative ? r.neg() : r;
  }

  // divSmall by d = j (j + 1) from the table of reciprocals below (the series' divisors).
  [[nodiscard]] constexpr Fixed divByPair(std::uint64_t j) const noexcept;

  // Arithmetic shift right by s >= 0 bits (rounds toward -infinity: less than one unit low).
  [[nodiscard]] constexpr Fixed shr(int s) const noexcept {
    const std::uint64_t fill = isNegative() ? ~std::uint64_t{0} : 0;
    Fixed r{};
    const int limbs = s / 64;
    const int bits = s % 64;
    for (int i = 0; i < N; ++i) {
      const int src = i + limbs;
      std::uint64_t lo = src < N ? w[src] : fill;
      std::uint64_t hi = src + 1 < N ? w[src + 1] : fill;
      r.w[i] = bits == 0 ? lo : (lo >> bits) | (hi << (64 - bits));
    }
    return r;
  }

  // Shift left by s >= 0 bits; exact while the integer part does not overflow.
  [[nodiscard]] constexpr Fixed shl(int s) const noexcept {
    Fixed r{};
    const int limbs = s / 64;
    const int bits = s % 64;
    for (int i = N - 1; i >= 0; --i) {
      const int src = i - limbs;
      std::uint64_t hi = src >= 0 ? w[src] : 0;
      std::uint64_t lo = src - 1 >= 0 ? w[src - 1] : 0;
      r.w[i] = bits == 0 ? hi : (hi << bits) | (lo >> (64 - bits));
    }
    return r;
  }

  // The finite double x, truncated toward zero to a multiple of one unit (exact when it is one
  // already); |x| must be below 2^63. *exact, when given, tells whether nothing was cut.
  [[nodiscard]] static constexpr Fixed fromDouble(double x, bool* exact = nullptr) noexcept {
    const auto bits = std::bit_cast<std::uint64_t>(x);
    const int biased = static_cast<int>((bits >> 52) & 0x7FF);
    std::uint64_t m = bits & ((std::uint64_t{1} << 52) - 1);
    int e = biased - 1075;  // x = m * 2^e
    if (biased == 0)
      e = -1074;
    else
      m |= std::uint64_t{1} << 52;
    Fixed r{};
    bool cut = false;
    const int s = e + fractionBits;  // bit position of m's lowest bit in the limbs
    if (m != 0) {
      if (s >= 0) {
        const int limb = s / 64;
        const int off = s % 64;
        const U128 v = static_cast<U128>(m) << off;
        if (limb < N) r.w[limb] = static_cast<std::uint64_t>(v);
        if (limb + 1 < N) r.w[limb + 1] = static_cast<std::uint64_t>(v >> 64);
      } else if (s > -64) {
        r.w[0] = m >> (-s);
        cut = (m << (64 + s)) != 0;
      } else {
        cut = true;
      }
    }
    if (exact != nullptr) *exact = !cut;
    return (bits >> 63) != 0 ? r.neg() : r;
  }

  // The exact value rounded to the nearest double, ties to even.
  [[nodiscard]] constexpr double toDouble() const noexcept {
    const bool negative = isNegative();
    const Fixed x = abs();
    int top = N - 1;
    while (top >= 0 && x.w[top] == 0) --top;
    if (top < 0) return 0.0;
    const int p = 64 * top + 63 - std::countl_zero(x.w[top]);  // highest set bit
    // 64 bits starting at bit p - 63 (zeros below bit 0), and whether anything lies below them.
    const int lo = p - 63;
    std::uint64_t window;
    bool sticky = false;
    if (lo <= 0) {
      window = x.w[0] << (-lo);
    } else {
      const int limb = lo / 64;
      const int off = lo % 64;
      window = off == 0 ? x.w[limb] : (x.w[limb] >> off) | (x.w[limb + 1] << (64 - off));
      sticky = off != 0 && (x.w[limb] << (64 - off)) != 0;
      for (int i = 0; i < limb && !sticky; ++i) sticky = x.w[i] != 0;
    }
    std::uint64_t mant = window >> 11;  // 53 bits, the leading one included
    const std::uint64_t rest = window & 0x7FF;
    const bool half = (rest >> 10) != 0;
    const bool below = (rest & 0x3FF) != 0 || sticky;
    int e = p - fractionBits;  // the value lies in [2^e, 2^(e+1))
    if (half && (below || (mant & 1) != 0)) {
      ++mant;
      if (mant == (std::uint64_t{1} << 53)) {
        mant >>= 1;
        ++e;
      }
    }
    const std::uint64_t out = (static_cast<std::uint64_t>(e + 1023) << 52) |
                              (mant & ((std::uint64_t{1} << 52) - 1)) |
                              (negative ? std::uint64_t{1} << 63 : 0);
    return std::bit_cast<double>(out);
  }
};

// The divisors j (j + 1), j < 256, of the sin and cos series shifted to the top of a word (dn,
// shift s) with floor((2^128 - 1) / dn) - 2^64 (v): integer division by them becomes a product
// and a correction (division by an invariant integer), with the same quotient.
struct PairDivisor {
  std::uint64_t dn, v;
  int s;
};

inline constexpr int kPairDivisors = 256;

inline constexpr auto kPairDivisorTable = [] {
  struct Table {
    PairDivisor e[kPairDivisors];
  } t{};
  for (int j = 1; j < kPairDivisors; ++j) {
    const auto d = static_cast<std::uint64_t>(j) * static_cast<std::uint64_t>(j + 1);
    const int s = std::countl_zero(d);
    const std::uint64_t dn = d << s;
    t.e[j] = {dn, static_cast<std::uint64_t>(~U128{0} / dn), s};
  }
  return t;
}();

template <int N>
constexpr Fixed<N> Fixed<N>::divByPair(std::uint64_t j) const noexcept {
  if (j >= kPairDivisors) return divSmall(j * (j + 1));
  const PairDivisor& p = kPairDivisorTable.e[j];
  const bool negative = isNegative();
  const Fixed x = abs();
  Fixed r{};
  // The dividend shifted left by s (>= 48), limb by limb; the remainder stays below dn. Each
  // step: the estimate from the product by v is the quotient or one off, which the two
  // corrections settle.
  std::uint64_t rem = x.w[N - 1] >> (64 - p.s);
#pragma GCC unroll 16
  for (int i = N - 1; i >= 0; --i) {
    const std::uint64_t u0 = (x.w[i] << p.s) | (i > 0 ? x.w[i - 1] >> (64 - p.s) : 0);
    const U128 q = static_cast<U128>(p.v) * rem + ((static_cast<U128>(rem) << 64) | u0);
    std::uint64_t q1 = static_cast<std::uint64_t>(q >> 64) + 1;
    std::uint64_t rr = u0 - q1 * p.dn;
    if (rr > static_cast<std::uint64_t>(q)) {
      --q1;
      rr += p.dn;
    }
    if (rr >= p.dn) {
      ++q1;
      rr -= p.dn;
    }
    rem = rr;
    r.w[i] = q1;
  }
  return negative ? r.neg() : r;
}

// The sign of v when v is known to within err units: +1 or -1, or 0 when |v| <= err leaves it
// open.
template <int N>
[[nodiscard]] constexpr int signWithin(const Fixed<N>& v, std::uint64_t err) noexcept {
  Fixed<N> e{};
  e.w[0] = err;
  if (compare(v, e) > 0) return 1;
  if (compare(v, e.neg()) < 0) return -1;
  return 0;
}

// The double nearest to a value known only as v within err units, when every value of that
// interval rounds to the same double: then *out is set and the result is true.
template <int N>
[[nodiscard]] constexpr bool roundWithin(const Fixed<N>& v, std::uint64_t err,
                                         double* out) noexcept {
  Fixed<N> e{};
  e.w[0] = err;
  const double a = (v - e).toDouble();
  const double b = (v + e).toDouble();
  if (a != b) return false;
  *out = a;
  return true;
}

}  // namespace nemra_kernel::detail

#endif
