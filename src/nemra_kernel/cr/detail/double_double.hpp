// Double-double arithmetic of the correctly rounded functions: the pair hi + lo their fast paths
// return, and the exact transformations that make such pairs. Exact only as written: the build
// never contracts a*b + c into a fused multiply-add, and never reassociates.
#ifndef NEMRA_KERNEL_CR_DETAIL_DOUBLE_DOUBLE_HPP
#define NEMRA_KERNEL_CR_DETAIL_DOUBLE_DOUBLE_HPP

#include <bit>
#include <cstdint>

namespace nemra_kernel::detail {

// The unevaluated sum hi + lo; where a function returns one, hi = fl(hi + lo) unless it says
// otherwise.
struct DoubleDouble {
  double hi;
  double lo;
};

// a + b = s + e exactly, for any a and b.
[[nodiscard]] [[gnu::always_inline]] inline DoubleDouble twoSum(double a, double b) noexcept {
  const double s = a + b;
  const double bb = s - a;
  return {s, (a - (s - bb)) + (b - bb)};
}

// a + b = s + e exactly, when |a| >= |b| (or a = 0).
[[nodiscard]] [[gnu::always_inline]] inline DoubleDouble fastTwoSum(double a, double b) noexcept {
  const double s = a + b;
  return {s, b - (s - a)};
}

// v = hi + lo exactly with hi of at most 26 significant bits, so that the product of two heads
// is exact (Veltkamp's split by 2^27 + 1; |v| far from overflow).
[[nodiscard]] [[gnu::always_inline]] inline DoubleDouble split26(double v) noexcept {
  const double c = 134217729.0 * v;
  const double hi = c - (c - v);
  return {hi, v - hi};
}

// v with the low 27 bits of its significand cleared, 26 bits kept: a head like split26's (not
// the nearest) in one operation, done on a vector of two so that the mask stays with the
// floating-point registers instead of a round trip through the integer ones (same bits either
// way; the vector extension of GCC and clang).
[[nodiscard]] [[gnu::always_inline]] inline double truncate26(double v) noexcept {
  using Doubles = double __attribute__((vector_size(16)));
  using Words = std::uint64_t __attribute__((vector_size(16)));
  const Words mask = {0xfffffffff8000000u, 0xfffffffff8000000u};
  const Doubles in = {v, v};
  return std::bit_cast<Doubles>(std::bit_cast<Words>(in) & mask)[0];
}

// a * b = p + e exactly (Dekker's product; |a|, |b| far from overflow).
[[nodiscard]] [[gnu::always_inline]] inline DoubleDouble twoProd(double a, double b) noexcept {
  const double p = a * b;
  const DoubleDouble as = split26(a);
  const DoubleDouble bs = split26(b);
  return {p, ((as.hi * bs.hi - p) + as.hi * bs.lo + as.lo * bs.hi) + as.lo * bs.lo};
}

}  // namespace nemra_kernel::detail

#endif
