// PGL4: a projective transformation of P³, a real 4×4 matrix of doubles in column-major storage,
// acting on HomVec4 points as column vectors; and the builders pglTranslate, pglScale,
// pglRotateZ and the build-time-checked pglFromHomogeneous.
//
// Floating-point results are promised bit for bit: IEEE double, no fused multiply-add, every sum
// in index order starting from 0.0. They must not change with the flags of the program that
// includes this header, so every run-time computation is a call into the library, which is
// compiled with -ffp-contract=off. The constexpr operations evaluate a literal copy of the same
// arithmetic when they run at compile time (`if consteval`); constant folding is exact IEEE
// arithmetic without contraction, so both paths give the same bits.
#include <nemra/config.hpp>

#ifndef NEMRA_KERNEL_PGL4_HPP
#define NEMRA_KERNEL_PGL4_HPP

#include <array>
#include <cstddef>
#include <cstdint>
#include <limits>

#include <nemra_kernel/hom_vec4.hpp>

namespace nemra_kernel {

struct PGL4;

// A 4×4 matrix written as rows: m[row][col].
using RowMajor4x4 = std::array<std::array<double, 4>, 4>;

namespace detail {

// GCC's noplt makes a call jump through the address the loader bound, without a PLT stub.
#if defined(__GNUC__) && !defined(__clang__)
#define NEMRA_KERNEL_NOPLT [[gnu::noplt]]
#else
#define NEMRA_KERNEL_NOPLT
#endif

// The run-time arithmetic, compiled in the library (pgl4.cpp). Each picks its instruction set
// once, when the program or the shared library is loaded.
NEMRA_KERNEL_NOPLT NEMRA_API PGL4 pgl4Mul(const PGL4& a, const PGL4& b);
NEMRA_KERNEL_NOPLT NEMRA_API HomVec4 pgl4Apply(const PGL4& m, const HomVec4& v);
NEMRA_KERNEL_NOPLT NEMRA_API double pgl4Det(const PGL4& m);

#undef NEMRA_KERNEL_NOPLT

// Reports an out-of-range get/set and aborts. Not constexpr, so reaching it during constant
// evaluation is a compile error whose message names it.
[[noreturn]] NEMRA_API void PGL4_index_out_of_range(std::size_t row, std::size_t col);

}  // namespace detail

struct NEMRA_API PGL4 {
  // Column-major: the entry in row r and column c is data[c*4 + r].
  std::array<double, 16> data;

  // The 4×4 identity.
  static constexpr PGL4 identity();
  // The sixteen values in storage (column-major) order, unchanged.
  static constexpr PGL4 init(const std::array<double, 16>& values);
  // The matrix whose entry (row, col) is m[row][col].
  static constexpr PGL4 fromRowMajor(const RowMajor4x4& m);

  // Entry (row, col). Row and column must be 0..3; anything else aborts with a message (a compile
  // error in constant evaluation). The check is kept in every build type: it is one comparison,
  // and folds away for constant indices.
  constexpr double get(std::size_t row, std::size_t col) const;
  constexpr void set(std::size_t row, std::size_t col, double val);

  // M·v, each component ((0 + m(r,0)·x + m(r,1)·y) + m(r,2)·z) + m(r,3)·w. Not normalised.
  HomVec4 apply(const HomVec4& v) const;
  // The product a·b (b acts first); entry (r, c) is the sum over k = 0..3 of a(r,k)·b(k,c),
  // starting from 0.0.
  static constexpr PGL4 mul(const PGL4& a, const PGL4& b);
  constexpr PGL4 transpose() const;
  // Laplace expansion along row 0 of the 3×3 minors of rows 1..3.
  constexpr double det() const;

  // Newton–Schulz approximation of (self + delta·I)⁻¹ with at most max_iter iterations; leaves
  // early once the largest entry of M·X − I is below 1e-12. Always returns the last iterate
  // (pgl4_inverse.cpp).
  PGL4 inverse(double delta, std::uint32_t max_iter) const;
  // self · |det|^(-1/4), so that the determinant becomes ±1; self unchanged when |det| < 1e-15.
  PGL4 normalizeDet() const;

  // Value equality of the entries (so -0 == +0 and NaN != NaN).
  friend constexpr bool operator==(const PGL4&, const PGL4&) = default;
};

// Translation by (tx, ty, tz): a point (x, y, z, w) goes to (x + tx·w, y + ty·w, z + tz·w, w).
constexpr PGL4 pglTranslate(double tx, double ty, double tz);
// The diagonal matrix (sx, sy, sz, 1).
constexpr PGL4 pglScale(double sx, double sy, double sz);
// Rotation about the z axis by `angle` radians; (1, 0, 0, 1) goes to (cos, sin, 0, 1). Entry
// (0, 1) is -sin, so pglRotateZ(0) has -0 there.
NEMRA_API PGL4 pglRotateZ(double angle);

// ---------------------------------------------------------------------------------------------
// Compile-time arithmetic: literal forms of the loops of pgl4.cpp, used only in constant
// evaluation.
namespace detail {

constexpr PGL4 pgl4MulConstexpr(const PGL4& a, const PGL4& b);

// The determinant of the 3×3 submatrix left when row r and column c are struck out, the kept
// entries in their relative order.
constexpr double pgl4MinorConstexpr(const PGL4& m, std::size_t r, std::size_t c);

constexpr double pgl4DetConstexpr(const PGL4& m);

}  // namespace detail

constexpr PGL4 PGL4::identity() {
  return {{1.0, 0.0, 0.0, 0.0, 0.0, 1.0, 0.0, 0.0, 0.0, 0.0, 1.0, 0.0, 0.0, 0.0, 0.0, 1.0}};
}

constexpr PGL4 PGL4::init(const std::array<double, 16>& values) { return {values}; }

constexpr PGL4 PGL4::fromRowMajor(const RowMajor4x4& m) {
  PGL4 r{};
  for (std::size_t col = 0; col < 4; ++col) {
    for (std::size_t row = 0; row < 4; ++row) r.data[col * 4 + row] = m[row][col];
  }
  return r;
}

constexpr double PGL4::get(std::size_t row, std::size_t col) const {
  if (row > 3 || col > 3) detail::PGL4_index_out_of_range(row, col);
  return data[col * 4 + row];
}

constexpr void PGL4::set(std::size_t row, std::size_t col, double val) {
  if (row > 3 || col > 3) detail::PGL4_index_out_of_range(row, col);
  data[col * 4 + row] = val;
}

inline HomVec4 PGL4::apply(const HomVec4& v) const { return detail::pgl4Apply(*this, v); }

constexpr PGL4 PGL4::mul(const PGL4& a, const PGL4& b) {
  if
    consteval { return detail::pgl4MulConstexpr(a, b); }
  else {
    return detail::pgl4Mul(a, b);
  }
}

constexpr PGL4 PGL4::transpose() const {
  const std::array<double, 16>& d = data;
  return {{d[0], d[4], d[8], d[12], d[1], d[5], d[9], d[13], d[2], d[6], d[10], d[14], d[3], d[7],
           d[11], d[15]}};
}

constexpr double PGL4::det() const {
  if
    consteval { return detail::pgl4DetConstexpr(*this); }
  else {
    return detail::pgl4Det(*this);
  }
}

constexpr PGL4 pglTranslate(double tx, double ty, double tz) {
  return PGL4::init({1.0, 0.0, 0.0, 0.0, 0.0, 1.0, 0.0, 0.0, 0.0, 0.0, 1.0, 0.0, tx, ty, tz, 1.0});
}

constexpr PGL4 pglScale(double sx, double sy, double sz) {
  return PGL4::init({sx, 0.0, 0.0, 0.0, 0.0, sy, 0.0, 0.0, 0.0, 0.0, sz, 0.0, 0.0, 0.0, 0.0, 1.0});
}

namespace detail {

constexpr PGL4 pgl4MulConstexpr(const PGL4& a, const PGL4& b) {
  PGL4 result{};
  for (std::size_t col = 0; col < 4; ++col) {
    for (std::size_t row = 0; row < 4; ++row) {
      double sum = 0.0;
      for (std::size_t k = 0; k < 4; ++k) sum = sum + a.get(row, k) * b.get(k, col);
      result.set(row, col, sum);
    }
  }
  return result;
}

constexpr double pgl4MinorConstexpr(const PGL4& m, std::size_t r, std::size_t c) {
  double s[3][3]{};
  std::size_t si = 0;
  for (std::size_t i = 0; i < 4; ++i) {
    if (i == r) continue;
    std::size_t sj = 0;
    for (std::size_t j = 0; j < 4; ++j) {
      if (j == c) continue;
      s[si][sj] = m.get(i, j);
      ++sj;
    }
    ++si;
  }
  return (s[0][0] * (s[1][1] * s[2][2] - s[1][2] * s[2][1]) -
          s[0][1] * (s[1][0] * s[2][2] - s[1][2] * s[2][0])) +
         s[0][2] * (s[1][0] * s[2][1] - s[1][1] * s[2][0]);
}

constexpr double pgl4DetConstexpr(const PGL4& m) {
  return ((m.get(0, 0) * pgl4MinorConstexpr(m, 0, 0) - m.get(0, 1) * pgl4MinorConstexpr(m, 0, 1)) +
          m.get(0, 2) * pgl4MinorConstexpr(m, 0, 2)) -
         m.get(0, 3) * pgl4MinorConstexpr(m, 0, 3);
}

// Diagnostics of pglFromHomogeneous: not constexpr, so reaching one stops the build, and the
// compiler's message names the reason.
void pglFromHomogeneous_rejects_a_singular_matrix_its_determinant_is_zero();
void pglFromHomogeneous_rejects_a_matrix_with_a_non_finite_entry();

}  // namespace detail

// The matrix with rows m, checked when the program is built: the call is consteval, and a
// singular m stops the build with a diagnostic naming the reason. Singular means that det(), the
// same determinant the program computes at run time, is exactly zero, so a matrix that builds is
// guaranteed a non-zero det(). No absolute threshold is applied: a projective transformation is
// defined only up to a factor, and any threshold would reject a regular matrix such as
// pglScale(1e-4, 1e-4, 1e-4) (determinant 1e-12) while accepting its multiples. A NaN
// determinant (entries so large that the expansion overflows) and any infinite or NaN entry are
// rejected too. At run time the call is PGL4::fromRowMajor(m), nothing more.
consteval PGL4 pglFromHomogeneous(const RowMajor4x4& m) {
  constexpr double kLargest = std::numeric_limits<double>::max();
  for (const auto& row : m) {
    for (double e : row) {
      // Infinities and NaNs fail this; finite values pass.
      if (!(e >= -kLargest && e <= kLargest)) {
        detail::pglFromHomogeneous_rejects_a_matrix_with_a_non_finite_entry();
      }
    }
  }
  PGL4 r = PGL4::fromRowMajor(m);
  double d = r.det();
  if (d == 0.0 || d != d)
    detail::pglFromHomogeneous_rejects_a_singular_matrix_its_determinant_is_zero();
  return r;
}

}  // namespace nemra_kernel

#endif
