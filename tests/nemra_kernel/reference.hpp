// Naive, literal forms of the kernel's loops (every sum from 0.0 in index order, clamps as
// fmin/fmax), for bit-for-bit comparison with the library's tuned code. Compiled with the tests'
// -ffp-contract=off.
#ifndef NEMRA_KERNEL_TESTS_REFERENCE_HPP
#define NEMRA_KERNEL_TESTS_REFERENCE_HPP

#include <array>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>

#include <nemra_kernel/cr_math.hpp>

namespace ref {

using Mat = std::array<double, 16>;  // column-major: (r, c) at [c*4 + r]
using Vec = std::array<double, 4>;
using Vec4f = std::array<float, 4>;

inline double get(const Mat& m, std::size_t r, std::size_t c) { return m[c * 4 + r]; }
inline void set(Mat& m, std::size_t r, std::size_t c, double v) { m[c * 4 + r] = v; }

inline Mat identity() {
  Mat m{};
  for (std::size_t i = 0; i < 4; ++i) set(m, i, i, 1.0);
  return m;
}

inline Vec apply(const Mat& m, const Vec& v) {
  Vec result{};
  for (std::size_t row = 0; row < 4; ++row) {
    result[row] = 0.0;
    for (std::size_t col = 0; col < 4; ++col) result[row] = result[row] + get(m, row, col) * v[col];
  }
  return result;
}

inline Mat mul(const Mat& a, const Mat& b) {
  Mat result{};
  for (std::size_t col = 0; col < 4; ++col) {
    for (std::size_t row = 0; row < 4; ++row) {
      double sum = 0.0;
      for (std::size_t k = 0; k < 4; ++k) sum = sum + get(a, row, k) * get(b, k, col);
      set(result, row, col, sum);
    }
  }
  return result;
}

inline Mat transpose(const Mat& m) {
  Mat t{};
  for (std::size_t r = 0; r < 4; ++r) {
    for (std::size_t c = 0; c < 4; ++c) set(t, r, c, get(m, c, r));
  }
  return t;
}

inline double minor(const Mat& m, std::size_t r, std::size_t c) {
  double s[3][3];
  std::size_t si = 0;
  for (std::size_t i = 0; i < 4; ++i) {
    if (i == r) continue;
    std::size_t sj = 0;
    for (std::size_t j = 0; j < 4; ++j) {
      if (j == c) continue;
      s[si][sj] = get(m, i, j);
      ++sj;
    }
    ++si;
  }
  const double d0 = s[1][1] * s[2][2] - s[1][2] * s[2][1];
  const double d1 = s[1][0] * s[2][2] - s[1][2] * s[2][0];
  const double d2 = s[1][0] * s[2][1] - s[1][1] * s[2][0];
  const double t0 = s[0][0] * d0;
  const double t1 = s[0][1] * d1;
  const double t2 = s[0][2] * d2;
  return (t0 - t1) + t2;
}

inline double det(const Mat& m) {
  double acc = get(m, 0, 0) * minor(m, 0, 0);
  acc = acc - get(m, 0, 1) * minor(m, 0, 1);
  acc = acc + get(m, 0, 2) * minor(m, 0, 2);
  acc = acc - get(m, 0, 3) * minor(m, 0, 3);
  return acc;
}

// The iteration's last X, the iterations run and the residual the loop measured last (that of
// the initial guess when none ran).
struct InverseSteps {
  Mat x;
  std::uint32_t iterations;
  double residual;
};

inline double residualOf(const Mat& m_reg, const Mat& x) {
  const Mat I4 = identity();
  const Mat residual_check = mul(m_reg, x);
  double residual = 0.0;
  for (std::size_t j = 0; j < 16; ++j) {
    const double diff = std::fabs(residual_check[j] - I4[j]);
    if (diff > residual) residual = diff;
  }
  return residual;
}

inline InverseSteps inverseSteps(const Mat& self, double delta, std::uint32_t max_iter) {
  const Mat I4 = identity();
  Mat m_reg = self;
  for (std::size_t i = 0; i < 4; ++i) set(m_reg, i, i, get(m_reg, i, i) + delta);
  const Mat mt = transpose(m_reg);
  double norm_sq = 0.0;
  for (double e : m_reg) norm_sq = norm_sq + e * e;
  Mat x{};
  for (std::size_t i = 0; i < 16; ++i) x[i] = mt[i] / norm_sq;
  InverseSteps steps{x, 0, residualOf(m_reg, x)};
  for (std::uint32_t i = 0; i < max_iter; ++i) {
    const Mat mx = mul(m_reg, x);
    Mat two_i_minus_mx{};
    for (std::size_t j = 0; j < 16; ++j) two_i_minus_mx[j] = 2.0 * I4[j] - mx[j];
    x = mul(x, two_i_minus_mx);
    const double residual = residualOf(m_reg, x);
    steps = {x, i + 1, residual};
    if (residual < 1e-12) break;
  }
  return steps;
}

inline Mat inverse(const Mat& self, double delta, std::uint32_t max_iter) {
  return inverseSteps(self, delta, max_iter).x;
}

inline Mat normalizeDet(const Mat& m) {
  const double d = det(m);
  if (std::fabs(d) < 1e-15) return m;
  const double det_scale = nemra_kernel::cr::invFourthRoot(std::fabs(d));
  Mat r{};
  for (std::size_t i = 0; i < 16; ++i) r[i] = m[i] * det_scale;
  return r;
}

inline double dot(const Vec& a, const Vec& b) {
  double s = a[0] * b[0];
  s = s + a[1] * b[1];
  s = s + a[2] * b[2];
  s = s + a[3] * b[3];
  return s;
}

inline double norm(const Vec& a) { return std::sqrt(dot(a, a)); }

inline double fsDistance(const Vec& a, const Vec& b) {
  const double n1 = norm(a);
  const double n2 = norm(b);
  if (n1 < 1e-15 || n2 < 1e-15) return 0.0;
  const double n12 = n1 * n2;
  const double d = std::fabs(dot(a, b)) / n12;
  return nemra_kernel::cr::acos(std::fmin(d, 1.0));  // fmin returns 1 for a NaN d
}

inline double wFromDistance(double s, double R) {
  const double two_r = 2.0 * R;
  return nemra_kernel::cr::cos(s / two_r);
}

inline double sFromW(double W, double R) {
  const double clamped = std::fmax(-1.0, std::fmin(W, 1.0));
  const double two_r = 2.0 * R;
  return two_r * nemra_kernel::cr::acos(clamped);
}

inline Mat resonance(const Mat& a) {
  const Mat at = transpose(a);
  Mat r{};
  for (std::size_t i = 0; i < 16; ++i) r[i] = a[i] - at[i];
  return r;
}

inline Mat projector(const Mat& jc, double delta) {
  const Mat I = identity();
  const Mat jct = transpose(jc);
  Mat jjt = mul(jc, jct);
  for (std::size_t i = 0; i < 4; ++i) set(jjt, i, i, get(jjt, i, i) + delta);
  const Mat jjt_inv = inverse(jjt, delta, 8);
  const Mat middle = mul(jct, jjt_inv);
  const Mat part = mul(jc, middle);
  Mat r{};
  for (std::size_t i = 0; i < 16; ++i) r[i] = I[i] - part[i];
  return r;
}

inline Mat deformed(const Mat& x, const Mat& y, double epsilon) {
  const Mat linear = mul(x, y);
  Mat r{};
  for (std::size_t i = 0; i < 16; ++i) {
    const double scaled = epsilon * x[i];
    r[i] = linear[i] + scaled * y[i];
  }
  return r;
}

inline float dot4(const Vec4f& a, const Vec4f& b) {
  const float p0 = a[0] * b[0], p1 = a[1] * b[1], p2 = a[2] * b[2], p3 = a[3] * b[3];
  return ((p0 + p1) + p2) + p3;
}

inline Vec4f normalize3(const Vec4f& v) {
  const float d = dot4(v, v);
  if (d < 1e-15f) return {0.0f, 0.0f, 0.0f, 1.0f};
  const float l = std::sqrt(d);
  return {v[0] / l, v[1] / l, v[2] / l, v[3] / l};
}

// The three steps, plus the two edges: +∞ gives +0 and NaN gives NaN.
inline double invSqrt(double x) {
  if (x <= 0.0) return 0.0;
  if (std::isnan(x)) return x;
  if (std::isinf(x)) return 0.0;
  const std::uint64_t bits = std::bit_cast<std::uint64_t>(x);
  double y = std::bit_cast<double>(std::uint64_t{0x5FE6EB50C7B537A9u} - (bits >> 1));
  const double half_x = 0.5 * x;
  for (int i = 0; i < 3; ++i) {
    const double a = half_x * y;
    const double b = a * y;
    const double c = 1.5 - b;
    y = y * c;
  }
  return y;
}

// Equal bits, except that any two NaNs are equal (payloads are not promised); -0 and +0 differ.
inline bool sameBits(double a, double b) {
  if (std::isnan(a) && std::isnan(b)) return true;
  return std::bit_cast<std::uint64_t>(a) == std::bit_cast<std::uint64_t>(b);
}

inline bool sameBits(float a, float b) {
  if (std::isnan(a) && std::isnan(b)) return true;
  return std::bit_cast<std::uint32_t>(a) == std::bit_cast<std::uint32_t>(b);
}

template <std::size_t N>
bool sameBits(const std::array<double, N>& a, const std::array<double, N>& b) {
  for (std::size_t i = 0; i < N; ++i) {
    if (!sameBits(a[i], b[i])) return false;
  }
  return true;
}

}  // namespace ref

#endif
