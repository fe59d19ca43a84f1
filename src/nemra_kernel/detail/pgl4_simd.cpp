// The PGL4 entry points for each instruction set: the loops of detail/pgl4_lanes.inl on two-lane
// vectors (sse2: the x86-64 baseline, and plain GCC vectors elsewhere) and on four-lane vectors,
// one column per register (avx, see detail/isa.hpp).
#include <cstddef>
#include <cstdint>
#include <cstring>

#include <nemra_kernel/detail/dispatch.hpp>
#include <nemra_kernel/detail/isa.hpp>

namespace nemra_kernel::detail {

namespace {

// HomVec4 is four adjacent doubles x, y, z, w; the vector loops read and write them in place.
static_assert(sizeof(HomVec4) == 4 * sizeof(double) && offsetof(HomVec4, w) == 3 * sizeof(double));
const double* components(const HomVec4& v) { return reinterpret_cast<const double*>(&v); }
double* components(HomVec4& v) { return reinterpret_cast<double*>(&v); }

}  // namespace

namespace sse2 {
constexpr int kLanes = 2;
using Vec = double __attribute__((vector_size(8 * kLanes)));
[[gnu::always_inline]] inline Vec broadcast(const double* p) { return Vec{*p, *p}; }

// The Laplace expansion along row 0. All four minors strike out row 0, so each works on rows 1..3
// with three of the four columns (a < b < d) and is
//   (m(1,a)·T(b,d) − m(1,b)·T(a,d)) + m(1,d)·T(a,b),
// where T(p,q) = m(2,p)·m(3,q) − m(2,q)·m(3,p) is the 2×2 determinant of rows 2..3 in columns p
// and q. Each T is literally the same two products and subtraction in every minor that uses it,
// so the six distinct ones are formed once.
[[gnu::always_inline]] inline double det(const double* m) {
  // m(r, c) = m[4c + r].
  const double m20 = m[2], m21 = m[6], m22 = m[10], m23 = m[14];
  const double m30 = m[3], m31 = m[7], m32 = m[11], m33 = m[15];
  const double t01 = m20 * m31 - m21 * m30;
  const double t02 = m20 * m32 - m22 * m30;
  const double t03 = m20 * m33 - m23 * m30;
  const double t12 = m21 * m32 - m22 * m31;
  const double t13 = m21 * m33 - m23 * m31;
  const double t23 = m22 * m33 - m23 * m32;
  const double m10 = m[1], m11 = m[5], m12 = m[9], m13 = m[13];
  const double minor0 = (m11 * t23 - m12 * t13) + m13 * t12;
  const double minor1 = (m10 * t23 - m12 * t03) + m13 * t02;
  const double minor2 = (m10 * t13 - m11 * t03) + m13 * t01;
  const double minor3 = (m10 * t12 - m11 * t02) + m12 * t01;
  return ((m[0] * minor0 - m[4] * minor1) + m[8] * minor2) - m[12] * minor3;
}

#include "pgl4_lanes.inl"
}  // namespace sse2

#if NEMRA_KERNEL_HAVE_AVX_PATH
NEMRA_KERNEL_AVX_BEGIN
namespace avx {
constexpr int kLanes = 4;
using Vec = double __attribute__((vector_size(8 * kLanes)));
[[gnu::always_inline]] inline Vec broadcast(const double* p) { return _mm256_broadcast_sd(p); }

// The determinant as sse2::det computes it, with the four minors in the four lanes:
//   minor(c) = (U1·W1 − U2·W2) + U3·W3 in lane c,
// where W1..W3 hold the 2×2 determinants T(p,q) = m(2,p)·m(3,q) − m(2,q)·m(3,p) that minor c
// needs (a T may stand in more than one lane: the same operation on the same operands) and U1..U3
// the entries of row 1 it multiplies them by. Every lane operand has at most two distinct values,
// so it is two broadcasts and a blend, with no shuffles.
template <int kTake>  // bit i set: lane i from b
[[gnu::always_inline]] inline Vec blend(Vec a, Vec b) {
  return _mm256_blend_pd(a, b, kTake);
}

[[gnu::always_inline]] inline double det(const double* m) {
  // m(r, c) = m[4c + r], each broadcast to all lanes.
  const Vec r2c0 = broadcast(m + 2), r2c1 = broadcast(m + 6), r2c2 = broadcast(m + 10),
            r2c3 = broadcast(m + 14);
  const Vec r3c0 = broadcast(m + 3), r3c1 = broadcast(m + 7), r3c2 = broadcast(m + 11),
            r3c3 = broadcast(m + 15);
  // W1 = (T23, T23, T13, T12), W2 = (T13, T03, T03, T02), W3 = (T12, T02, T01, T01).
  const Vec w1 = blend<0b1100>(r2c2, r2c1) * blend<0b1000>(r3c3, r3c2) -
                 blend<0b1000>(r2c3, r2c2) * blend<0b1100>(r3c2, r3c1);
  const Vec w2 = blend<0b1110>(r2c1, r2c0) * blend<0b1000>(r3c3, r3c2) -
                 blend<0b1000>(r2c3, r2c2) * blend<0b1110>(r3c1, r3c0);
  const Vec w3 = blend<0b1110>(r2c1, r2c0) * blend<0b1100>(r3c2, r3c1) -
                 blend<0b1100>(r2c2, r2c1) * blend<0b1110>(r3c1, r3c0);
  // U1 = (m11, m10, m10, m10), U2 = (m12, m12, m11, m11), U3 = (m13, m13, m13, m12).
  const Vec r1c0 = broadcast(m + 1), r1c1 = broadcast(m + 5), r1c2 = broadcast(m + 9),
            r1c3 = broadcast(m + 13);
  const Vec minors = (blend<0b1110>(r1c1, r1c0) * w1 - blend<0b1100>(r1c2, r1c1) * w2) +
                     blend<0b1000>(r1c3, r1c2) * w3;
  return ((m[0] * minors[0] - m[4] * minors[1]) + m[8] * minors[2]) - m[12] * minors[3];
}

#include "pgl4_lanes.inl"
}  // namespace avx
NEMRA_KERNEL_AVX_END
#endif

}  // namespace nemra_kernel::detail
