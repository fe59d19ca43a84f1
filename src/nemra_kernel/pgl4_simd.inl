// Private to the kernel's sources (not installed): the PGL4 loops for two instruction sets, and
// the table that picks between them.
//
// - sse2: two-lane vectors, the x86-64 baseline (and plain GCC vectors elsewhere).
// - avx: four-lane vectors, one column per register. Only AVX itself is enabled for this code, not
//   FMA, and the file is compiled with -ffp-contract=off: the operations are the same IEEE
//   multiplications and additions in the same order, so both give the same bits.
//
// The AVX code is used when the processor and the operating system support it. Defining
// NEMRA_KERNEL_BASELINE_ONLY leaves it out (the tests build the kernel that way too, to compare
// both paths with the literal loops).
#ifndef NEMRA_KERNEL_PGL4_SIMD_INL
#define NEMRA_KERNEL_PGL4_SIMD_INL

#include <cstddef>
#include <cstdint>
#include <cstring>

#include <nemra_kernel/hom_vec4.hpp>
#include <nemra_kernel/pgl4.hpp>

#if (defined(__x86_64__) || defined(__i386__)) && !defined(NEMRA_KERNEL_BASELINE_ONLY)
#define NEMRA_KERNEL_HAVE_AVX_PATH 1
#include <immintrin.h>
#else
#define NEMRA_KERNEL_HAVE_AVX_PATH 0
#endif

namespace nemra_kernel::detail::simd {

namespace sse2 {
constexpr int kLanes = 2;
using Vec = double __attribute__((vector_size(8 * kLanes)));
[[gnu::always_inline]] inline Vec broadcast(const double* p) { return Vec{*p, *p}; }
#include "pgl4_kernels.inl"
}  // namespace sse2

#if NEMRA_KERNEL_HAVE_AVX_PATH
// Everything in this namespace is compiled for AVX.
#if defined(__clang__)
#pragma clang attribute push(__attribute__((target("avx"))), apply_to = function)
#else
#pragma GCC push_options
#pragma GCC target("avx")
#endif
namespace avx {
constexpr int kLanes = 4;
using Vec = double __attribute__((vector_size(8 * kLanes)));
[[gnu::always_inline]] inline Vec broadcast(const double* p) { return _mm256_broadcast_sd(p); }
#include "pgl4_kernels.inl"

// The determinant as det() in pgl4.cpp, with the four minors in the four lanes:
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
}  // namespace avx
#if defined(__clang__)
#pragma clang attribute pop
#else
#pragma GCC pop_options
#endif
#endif

// newtonSchulz of pgl4_kernels.inl (m_reg column-major, xr row-major, in and out) for the
// instruction set that mul, apply and det use on this processor (pgl4.cpp); returns the number
// of iterations run.
std::uint32_t newtonSchulz(const double* m_reg, double* xr, std::uint32_t max_iter);

// The loops behind PGL4::applyMany (in pgl4.cpp) and fsDistanceMany (in fs_distance.cpp, one per
// instruction set), bound in pgl4.cpp like the rest: out[i] = m·in[i] and out[i] =
// fsDistance(a, b[i]) for i in [0, n). applyMany's out may be in.
void applyMany(const PGL4& m, const HomVec4* in, HomVec4* out, std::size_t n);
void fsDistanceMany(const HomVec4& a, const HomVec4* b, double* out, std::size_t n);
namespace sse2 {
void fsDistanceMany(const HomVec4& a, const HomVec4* b, double* out, std::size_t n);
}
#if NEMRA_KERNEL_HAVE_AVX_PATH
namespace avx {
void fsDistanceMany(const HomVec4& a, const HomVec4* b, double* out, std::size_t n);
}
#endif

}  // namespace nemra_kernel::detail::simd

#endif
