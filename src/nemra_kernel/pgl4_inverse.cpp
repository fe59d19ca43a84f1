// PGL4::inverse (regularised Newton–Schulz iteration) and PGL4::normalizeDet.
#include <cmath>
#include <cstring>
#include <nemra_kernel/pgl4.hpp>

#include "pgl4_simd.inl"

namespace nemra_kernel {

namespace {

using detail::simd::V2;
namespace simd = detail::simd;

// Entries of I and 2·I for rows (0, 1) and (2, 3) of column col.
constexpr double kIdentity[16] = {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1};
constexpr double kTwoIdentity[16] = {2, 0, 0, 0, 0, 2, 0, 0, 0, 0, 2, 0, 0, 0, 0, 2};

constexpr double kResidualBound = 1e-12;

[[gnu::always_inline]] inline V2 absValue(V2 v) {
  using Bits = long long __attribute__((vector_size(16)));
  const Bits mask = {0x7fffffffffffffffLL, 0x7fffffffffffffffLL};
  return reinterpret_cast<V2>(reinterpret_cast<Bits>(v) & mask);
}

}  // namespace

// X ← X·(2I − M·X) from X₀ = Mᵀ / ‖M‖²_F, M = self + delta·I. After each update the residual,
// the largest |(M·X − I)(r, c)| with NaN differences ignored, is compared with 1e-12; the loop
// leaves as soon as it is below. Only whether the residual is below the bound matters, and the
// largest non-NaN magnitude is below it exactly when no entry has a magnitude of at least 1e-12,
// which is what is tested.
PGL4 PGL4::inverse(double delta, std::uint32_t max_iter) const {
  double m_reg[16];
  std::memcpy(m_reg, data.data(), sizeof m_reg);
  for (int i = 0; i < 4; ++i) m_reg[5 * i] = m_reg[5 * i] + delta;

  double norm_sq = 0.0;
  for (double e : m_reg) norm_sq = norm_sq + e * e;

  // The initial guess: the transpose divided entry by entry by norm_sq.
  double x[16];
  for (int col = 0; col < 4; ++col) {
    for (int row = 0; row < 4; ++row) x[4 * col + row] = m_reg[4 * row + col] / norm_sq;
  }

  const simd::Columns cm = simd::loadColumns(m_reg);
  for (std::uint32_t i = 0; i < max_iter; ++i) {
    // two_i_minus_mx = 2·I − M·X, column by column.
    double two_i_minus_mx[16];
    for (int col = 0; col < 4; ++col) {
      V2 lo, hi;
      simd::mulColumn(cm, x + 4 * col, lo, hi);
      simd::store(two_i_minus_mx + 4 * col, simd::load(kTwoIdentity + 4 * col) - lo);
      simd::store(two_i_minus_mx + 4 * col + 2, simd::load(kTwoIdentity + 4 * col + 2) - hi);
    }
    // X ← X · (2I − M·X), the old iterate on the left.
    simd::mul(x, two_i_minus_mx, x);
    // residual_check = M·X with the new X.
    using Mask = long long __attribute__((vector_size(16)));
    Mask far = {0, 0};
    const V2 bound = simd::splat(kResidualBound);
    for (int col = 0; col < 4; ++col) {
      V2 lo, hi;
      simd::mulColumn(cm, x + 4 * col, lo, hi);
      far |= absValue(lo - simd::load(kIdentity + 4 * col)) >= bound;
      far |= absValue(hi - simd::load(kIdentity + 4 * col + 2)) >= bound;
    }
    if ((far[0] | far[1]) == 0) break;
  }

  PGL4 result;
  std::memcpy(result.data.data(), x, sizeof x);
  return result;
}

PGL4 PGL4::normalizeDet() const {
  const double d = det();
  if (std::fabs(d) < 1e-15) return *this;
  const double det_scale = std::pow(std::fabs(d), -0.25);
  PGL4 result;
  for (std::size_t i = 0; i < 16; ++i) result.data[i] = data[i] * det_scale;
  return result;
}

}  // namespace nemra_kernel
