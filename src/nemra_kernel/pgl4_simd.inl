// Private to the kernel's sources (not installed): the 4×4 loops of PGL4 on two-lane double
// vectors. Every result is bit for bit the plain scalar loop: each individual sum keeps its order
// (k = 0..3, starting from 0.0), and the vectors only run the same sum for two rows at once.
// The including file is compiled with -ffp-contract=off, so no product is fused into an add.
#ifndef NEMRA_KERNEL_PGL4_SIMD_INL
#define NEMRA_KERNEL_PGL4_SIMD_INL

#include <cstring>

namespace nemra_kernel::detail::simd {

using V2 = double __attribute__((vector_size(16)));

[[gnu::always_inline]] inline V2 load(const double* p) {
  V2 v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

[[gnu::always_inline]] inline void store(double* p, V2 v) { std::memcpy(p, &v, sizeof v); }

[[gnu::always_inline]] inline V2 splat(double s) { return V2{s, s}; }

// The sixteen entries of a column-major matrix as eight row pairs: c[k][h] holds rows 2h and
// 2h + 1 of column k.
struct Columns {
  V2 c[4][2];
};

[[gnu::always_inline]] inline Columns loadColumns(const double* m) {
  Columns r;
  for (int k = 0; k < 4; ++k) {
    r.c[k][0] = load(m + 4 * k);
    r.c[k][1] = load(m + 4 * k + 2);
  }
  return r;
}

// Column `col` of a·b, rows (0, 1) in lo and (2, 3) in hi, from the four entries of column col
// of b: sum = ((((0 + a(r,0)·b0) + a(r,1)·b1) + a(r,2)·b2) + a(r,3)·b3).
[[gnu::always_inline]] inline void mulColumn(const Columns& a, const double* bcol, V2& lo, V2& hi) {
  const V2 zero = splat(0.0);
  const V2 b0 = splat(bcol[0]);
  const V2 b1 = splat(bcol[1]);
  const V2 b2 = splat(bcol[2]);
  const V2 b3 = splat(bcol[3]);
  lo = zero + a.c[0][0] * b0;
  hi = zero + a.c[0][1] * b0;
  lo = lo + a.c[1][0] * b1;
  hi = hi + a.c[1][1] * b1;
  lo = lo + a.c[2][0] * b2;
  hi = hi + a.c[2][1] * b2;
  lo = lo + a.c[3][0] * b3;
  hi = hi + a.c[3][1] * b3;
}

// r = a·b over raw column-major storage. r may be a (a is read whole first) or b (column col of
// b is read before column col of r is written).
[[gnu::always_inline]] inline void mul(const double* a, const double* b, double* r) {
  const Columns ca = loadColumns(a);
  for (int col = 0; col < 4; ++col) {
    double bcol[4];
    std::memcpy(bcol, b + 4 * col, sizeof bcol);
    V2 lo, hi;
    mulColumn(ca, bcol, lo, hi);
    store(r + 4 * col, lo);
    store(r + 4 * col + 2, hi);
  }
}

}  // namespace nemra_kernel::detail::simd

#endif
