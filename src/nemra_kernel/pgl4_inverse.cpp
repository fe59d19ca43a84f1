// PGL4::inverse (regularised Newton–Schulz iteration) and PGL4::normalizeDet.
#include <cmath>
#include <cstring>

#include <nemra_kernel/pgl4.hpp>

#include "pgl4_simd.inl"

namespace nemra_kernel {

// X ← X·(2I − M·X) from X₀ = Mᵀ / ‖M‖²_F, M = self + delta·I, leaving as soon as the largest
// |M·X − I| entry (NaN differences ignored) is below 1e-12 (pgl4_kernels.inl).
PGL4 PGL4::inverse(double delta, std::uint32_t max_iter) const {
  double m_reg[16];
  std::memcpy(m_reg, data.data(), sizeof m_reg);
  for (int i = 0; i < 4; ++i) m_reg[5 * i] = m_reg[5 * i] + delta;

  double norm_sq = 0.0;
  for (double e : m_reg) norm_sq = norm_sq + e * e;

  // The initial guess X₀ = m_regᵀ / norm_sq, entry by entry (a true division), kept row-major
  // for the iteration: row r of X₀ is column r of m_reg divided by norm_sq.
  double xr[16];
  for (int i = 0; i < 16; ++i) xr[i] = m_reg[i] / norm_sq;

  detail::simd::newtonSchulz(m_reg, xr, max_iter);

  PGL4 result;
  for (std::size_t r = 0; r < 4; ++r) {
    for (std::size_t c = 0; c < 4; ++c) result.data[4 * c + r] = xr[4 * r + c];
  }
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
