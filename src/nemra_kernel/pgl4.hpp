// PGL4: a projective transformation of P³, a real 4×4 matrix of doubles in column-major storage,
// acting on HomVec4 points as column vectors; its operators (a * b, m * v, printing); and the
// builders pglTranslate, pglScale, pglRotateX/Y/Z, pglPerspective, pglLookAt and the
// build-time-checked pglFromHomogeneous.
//
// Floating-point results are promised bit for bit: IEEE double, no fused multiply-add, every sum
// in index order starting from 0.0. They must not change with the flags of the program that
// includes this header, so every run-time computation is a call into the library, which is
// compiled with -ffp-contract=off. The constexpr operations evaluate a literal copy of the same
// arithmetic when they run at compile time (`if consteval`); constant folding is exact IEEE
// arithmetic without contraction, so both paths give the same bits.
#include <nemra/config.hpp>

#if NEMRA_CXX23 && !defined(NEMRA_KERNEL_PGL4_HPP)
#define NEMRA_KERNEL_PGL4_HPP

#include <array>
#include <cstddef>
#include <cstdint>
#include <iosfwd>
#include <limits>
#include <span>

#include <nemra_kernel/hom_vec4.hpp>

namespace nemra_kernel {

struct PGL4;
struct InverseReport;

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
NEMRA_KERNEL_NOPLT NEMRA_API PGL4 pgl4Mul(const PGL4& a, const PGL4& b) noexcept;
NEMRA_KERNEL_NOPLT NEMRA_API HomVec4 pgl4Apply(const PGL4& m, const HomVec4& v) noexcept;
NEMRA_KERNEL_NOPLT NEMRA_API double pgl4Det(const PGL4& m) noexcept;

#undef NEMRA_KERNEL_NOPLT

// Reports an out-of-range get/set and aborts. Not constexpr, so reaching it during constant
// evaluation is a compile error whose message names it.
[[noreturn]] NEMRA_API void PGL4_index_out_of_range(std::size_t row, std::size_t col);

}  // namespace detail

struct NEMRA_API PGL4 {
  // Column-major: the entry in row r and column c is data[c*4 + r].
  std::array<double, 16> data;

  // The 4×4 identity.
  [[nodiscard]] static constexpr PGL4 identity() noexcept;
  // The sixteen values in storage (column-major) order, unchanged.
  [[nodiscard]] static constexpr PGL4 init(const std::array<double, 16>& values) noexcept;
  // The matrix whose entry (row, col) is m[row][col].
  [[nodiscard]] static constexpr PGL4 fromRowMajor(const RowMajor4x4& m) noexcept;

  // Entry (row, col). Row and column must be 0..3; anything else aborts with a message (a compile
  // error in constant evaluation). The check is kept in every build type: it is one comparison,
  // and folds away for constant indices.
  [[nodiscard]] constexpr double get(std::size_t row, std::size_t col) const noexcept;
  constexpr void set(std::size_t row, std::size_t col, double val) noexcept;

  // M·v, each component ((0 + m(r,0)·x + m(r,1)·y) + m(r,2)·z) + m(r,3)·w. Not normalised.
  [[nodiscard]] HomVec4 apply(const HomVec4& v) const noexcept;
  // out[i] = apply(in[i]) for every i, bit for bit, with the matrix loaded once. `out` may be
  // `in` itself (the points are transformed in place); otherwise the two must not overlap.
  // Lengths that differ, or a partial overlap, are a fatal error: a message naming both and an
  // abort, as for get/set.
  void applyMany(std::span<const HomVec4> in, std::span<HomVec4> out) const noexcept;
  // The product a·b (b acts first); entry (r, c) is the sum over k = 0..3 of a(r,k)·b(k,c),
  // starting from 0.0.
  [[nodiscard]] static constexpr PGL4 mul(const PGL4& a, const PGL4& b) noexcept;
  [[nodiscard]] constexpr PGL4 transpose() const noexcept;
  // Laplace expansion along row 0 of the 3×3 minors of rows 1..3.
  [[nodiscard]] constexpr double det() const noexcept;

  // Newton–Schulz approximation of (self + delta·I)⁻¹ with at most max_iter iterations; leaves
  // early once the largest entry of M·X − I is below 1e-12. Always returns the last iterate
  // (pgl4_inverse.cpp).
  [[nodiscard]] PGL4 inverse(double delta, std::uint32_t max_iter) const noexcept;
  // The same iteration, with what became of it: see InverseReport.
  [[nodiscard]] InverseReport inverseWithReport(double delta,
                                                std::uint32_t max_iter) const noexcept;
  // self · |det|^(-1/4), so that the determinant becomes ±1; self unchanged when |det| < 1e-15.
  [[nodiscard]] PGL4 normalizeDet() const noexcept;

  // Value equality of the entries (so -0 == +0 and NaN != NaN).
  friend constexpr bool operator==(const PGL4&, const PGL4&) = default;
};

// What PGL4::inverseWithReport found.
struct InverseReport {
  // Bit for bit what inverse(delta, max_iter) returns.
  PGL4 inverse;
  // Iterations run, the one that met the bound included: 0 when max_iter is 0, at most max_iter.
  std::uint32_t iterations;
  // The largest |entry| of M·X − I for the returned X (M = self + delta·I), NaN entries passed
  // over as the loop passes them over; with 0 iterations, that of the initial guess.
  double residual;
  // Whether every entry of M·X − I is below 1e-12 in magnitude. False when the budget ran out,
  // and false for a NaN result (from a zero regularised matrix, say), whose NaN entries end the
  // loop although its residual reads 0.
  bool converged;
};

// a·b, the same bits as PGL4::mul(a, b): b acts first.
[[nodiscard]] constexpr PGL4 operator*(const PGL4& a, const PGL4& b) noexcept {
  return PGL4::mul(a, b);
}
// m·v, the same bits as m.apply(v).
[[nodiscard]] inline HomVec4 operator*(const PGL4& m, const HomVec4& v) noexcept {
  return m.apply(v);
}

// The four rows, one per line (no newline after the last), as "[a, b, c, d]" with the columns
// padded to a common width; each entry in the shortest form that reads back to the same double
// (std::from_chars gives the same bits; every NaN prints as "nan", its sign and payload left out).
NEMRA_API std::ostream& operator<<(std::ostream& os, const PGL4& m);

// Translation by (tx, ty, tz): a point (x, y, z, w) goes to (x + tx·w, y + ty·w, z + tz·w, w).
[[nodiscard]] constexpr PGL4 pglTranslate(double tx, double ty, double tz) noexcept;
// The diagonal matrix (sx, sy, sz, 1).
[[nodiscard]] constexpr PGL4 pglScale(double sx, double sy, double sz) noexcept;

// Rotations by `angle` radians, right-handed: c = cos(angle) and s = sin(angle), each computed
// once, and −s is s with its sign flipped (−0 for s = +0). The other entries are exactly 0 and 1.
//
// About the x axis: (0, 1, 0, 1) goes to (0, c, s, 1). Rows (1, 0, 0, 0), (0, c, −s, 0),
// (0, s, c, 0), (0, 0, 0, 1).
[[nodiscard]] NEMRA_API PGL4 pglRotateX(double angle) noexcept;
// About the y axis: (0, 0, 1, 1) goes to (s, 0, c, 1). Rows (c, 0, s, 0), (0, 1, 0, 0),
// (−s, 0, c, 0), (0, 0, 0, 1).
[[nodiscard]] NEMRA_API PGL4 pglRotateY(double angle) noexcept;
// About the z axis: (1, 0, 0, 1) goes to (c, s, 0, 1). Rows (c, −s, 0, 0), (s, c, 0, 0),
// (0, 0, 1, 0), (0, 0, 0, 1); so pglRotateZ(0) has −0 at entry (0, 1).
[[nodiscard]] NEMRA_API PGL4 pglRotateZ(double angle) noexcept;

// Right-handed perspective projection: the camera looks down −z, `fovy` is the full vertical
// field of view in radians, `aspect` is width / height, and the depths near and far (distances in
// front of the camera) are mapped to −1 and 1 after the division by w. Computed in this order:
//   focal = 1.0 / tan(fovy / 2.0)
//   a = focal / aspect
//   b = (far + near) / (near − far)
//   e = ((2.0 · far) · near) / (near − far)
// Rows (a, 0, 0, 0), (0, focal, 0, 0), (0, 0, b, e), (0, 0, −1, 0); every other entry is exactly
// 0. No argument is checked: near == far, aspect 0 or fovy 0 give infinite or NaN entries.
[[nodiscard]] NEMRA_API PGL4 pglPerspective(double fovy, double aspect, double near,
                                            double far) noexcept;

// Right-handed view transformation: moves `eye` to the origin and turns the direction from eye to
// `center` onto −z, with `up` (projected) onto +y. Computed in this order, with
//   dot(p, q) = (p0·q0 + p1·q1) + p2·q2,
//   cross(p, q) = (p1·q2 − p2·q1, p2·q0 − p0·q2, p0·q1 − p1·q0),
//   unit(p) = p with each component divided by sqrt(dot(p, p)):
//   f = unit(center − eye), each difference center[i] − eye[i]
//   s = unit(cross(f, up))
//   u = cross(s, f)
// Rows (s0, s1, s2, −dot(s, eye)), (u0, u1, u2, −dot(u, eye)), (−f0, −f1, −f2, dot(f, eye)),
// (0, 0, 0, 1), each − a sign flip. eye itself goes to (0, 0, 0, 1) exactly. eye == center, or
// up parallel to the view direction, gives NaN entries (0/0); nothing is checked.
[[nodiscard]] NEMRA_API PGL4 pglLookAt(std::array<double, 3> eye, std::array<double, 3> center,
                                       std::array<double, 3> up) noexcept;

// ---------------------------------------------------------------------------------------------
// Compile-time arithmetic: literal forms of the loops of pgl4.cpp, used only in constant
// evaluation.
namespace detail {

constexpr PGL4 pgl4MulConstexpr(const PGL4& a, const PGL4& b) noexcept;

// The determinant of the 3×3 submatrix left when row r and column c are struck out, the kept
// entries in their relative order.
constexpr double pgl4MinorConstexpr(const PGL4& m, std::size_t r, std::size_t c) noexcept;

constexpr double pgl4DetConstexpr(const PGL4& m) noexcept;

}  // namespace detail

constexpr PGL4 PGL4::identity() noexcept {
  return {{1.0, 0.0, 0.0, 0.0, 0.0, 1.0, 0.0, 0.0, 0.0, 0.0, 1.0, 0.0, 0.0, 0.0, 0.0, 1.0}};
}

constexpr PGL4 PGL4::init(const std::array<double, 16>& values) noexcept { return {values}; }

constexpr PGL4 PGL4::fromRowMajor(const RowMajor4x4& m) noexcept {
  PGL4 r{};
  for (std::size_t col = 0; col < 4; ++col) {
    for (std::size_t row = 0; row < 4; ++row) r.data[col * 4 + row] = m[row][col];
  }
  return r;
}

constexpr double PGL4::get(std::size_t row, std::size_t col) const noexcept {
  if (row > 3 || col > 3) detail::PGL4_index_out_of_range(row, col);
  return data[col * 4 + row];
}

constexpr void PGL4::set(std::size_t row, std::size_t col, double val) noexcept {
  if (row > 3 || col > 3) detail::PGL4_index_out_of_range(row, col);
  data[col * 4 + row] = val;
}

inline HomVec4 PGL4::apply(const HomVec4& v) const noexcept { return detail::pgl4Apply(*this, v); }

constexpr PGL4 PGL4::mul(const PGL4& a, const PGL4& b) noexcept {
  if
    consteval { return detail::pgl4MulConstexpr(a, b); }
  else {
    return detail::pgl4Mul(a, b);
  }
}

constexpr PGL4 PGL4::transpose() const noexcept {
  const std::array<double, 16>& d = data;
  return {{d[0], d[4], d[8], d[12], d[1], d[5], d[9], d[13], d[2], d[6], d[10], d[14], d[3], d[7],
           d[11], d[15]}};
}

constexpr double PGL4::det() const noexcept {
  if
    consteval { return detail::pgl4DetConstexpr(*this); }
  else {
    return detail::pgl4Det(*this);
  }
}

constexpr PGL4 pglTranslate(double tx, double ty, double tz) noexcept {
  return PGL4::init({1.0, 0.0, 0.0, 0.0, 0.0, 1.0, 0.0, 0.0, 0.0, 0.0, 1.0, 0.0, tx, ty, tz, 1.0});
}

constexpr PGL4 pglScale(double sx, double sy, double sz) noexcept {
  return PGL4::init({sx, 0.0, 0.0, 0.0, 0.0, sy, 0.0, 0.0, 0.0, 0.0, sz, 0.0, 0.0, 0.0, 0.0, 1.0});
}

namespace detail {

constexpr PGL4 pgl4MulConstexpr(const PGL4& a, const PGL4& b) noexcept {
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

constexpr double pgl4MinorConstexpr(const PGL4& m, std::size_t r, std::size_t c) noexcept {
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

constexpr double pgl4DetConstexpr(const PGL4& m) noexcept {
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
[[nodiscard]] consteval PGL4 pglFromHomogeneous(const RowMajor4x4& m) {
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
