#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <nemra_kernel/pgl4.hpp>

#include "pgl4_simd.inl"

namespace nemra_kernel {

namespace detail {

PGL4 pgl4Mul(const PGL4& a, const PGL4& b) {
  PGL4 r;
  simd::mul(a.data.data(), b.data.data(), r.data.data());
  return r;
}

// The Laplace expansion along row 0. All four minors strike out row 0, so each works on rows 1..3
// with three of the four columns (a < b < d) and is
//   (m(1,a)·T(b,d) − m(1,b)·T(a,d)) + m(1,d)·T(a,b),
// where T(p,q) = m(2,p)·m(3,q) − m(2,q)·m(3,p) is the 2×2 determinant of rows 2..3 in columns p
// and q. Each T is literally the same two products and subtraction in every minor that uses it,
// so the six distinct ones are formed once.
double pgl4Det(const PGL4& mat) {
  const double* m = mat.data.data();
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

void PGL4_index_out_of_range(std::size_t row, std::size_t col) {
  std::fprintf(stderr, "nemra_kernel: PGL4 entry (%zu, %zu) is out of range: row and column are 0..3\n",
               row, col);
  std::abort();
}

}  // namespace detail

HomVec4 PGL4::apply(HomVec4 v) const {
  using detail::simd::V2;
  namespace simd = detail::simd;
  const simd::Columns m = simd::loadColumns(data.data());
  const V2 zero = simd::splat(0.0);
  const V2 vx = simd::splat(v.x), vy = simd::splat(v.y), vz = simd::splat(v.z),
           vw = simd::splat(v.w);
  V2 lo = zero + m.c[0][0] * vx;
  V2 hi = zero + m.c[0][1] * vx;
  lo = lo + m.c[1][0] * vy;
  hi = hi + m.c[1][1] * vy;
  lo = lo + m.c[2][0] * vz;
  hi = hi + m.c[2][1] * vz;
  lo = lo + m.c[3][0] * vw;
  hi = hi + m.c[3][1] * vw;
  return HomVec4::init(lo[0], lo[1], hi[0], hi[1]);
}

PGL4 pglRotateZ(double angle) {
  const double c = std::cos(angle);
  const double s = std::sin(angle);
  return PGL4::init({c, s, 0.0, 0.0, -s, c, 0.0, 0.0, 0.0, 0.0, 1.0, 0.0, 0.0, 0.0, 0.0, 1.0});
}

}  // namespace nemra_kernel
