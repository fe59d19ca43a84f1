// PGL4::inverse and inverseWithReport (regularised Newton–Schulz iteration) and PGL4::normalizeDet.
#include <cmath>
#include <cstring>

#include <nemra_kernel/cr_math.hpp>
#include <nemra_kernel/detail/dispatch.hpp>
#include <nemra_kernel/pgl4.hpp>

namespace nemra_kernel {

namespace {

// X ← X·(2I − M·X) from X₀ = Mᵀ / ‖M‖²_F, M = self + delta·I, leaving as soon as the largest
// |M·X − I| entry (NaN differences ignored) is below 1e-12 (detail/pgl4_lanes.inl). Stores M and
// the last X; returns the number of iterations run.
std::uint32_t newtonSchulz(const PGL4& self, double delta, std::uint32_t max_iter, PGL4& m,
                           PGL4& x) {
  double m_reg[16];
  std::memcpy(m_reg, self.data.data(), sizeof m_reg);
  for (int i = 0; i < 4; ++i) m_reg[5 * i] = m_reg[5 * i] + delta;

  double norm_sq = 0.0;
  for (double e : m_reg) norm_sq = norm_sq + e * e;

  // The initial guess X₀ = m_regᵀ / norm_sq, entry by entry (a true division), kept row-major
  // for the iteration: row r of X₀ is column r of m_reg divided by norm_sq.
  double xr[16];
  for (int i = 0; i < 16; ++i) xr[i] = m_reg[i] / norm_sq;

  const std::uint32_t iterations = detail::newtonSchulz(m_reg, xr, max_iter);

  std::memcpy(m.data.data(), m_reg, sizeof m_reg);
  for (std::size_t r = 0; r < 4; ++r) {
    for (std::size_t c = 0; c < 4; ++c) x.data[4 * c + r] = xr[4 * r + c];
  }
  return iterations;
}

}  // namespace

PGL4 PGL4::inverse(double delta, std::uint32_t max_iter) const noexcept {
  PGL4 m, x;
  (void)newtonSchulz(*this, delta, max_iter, m, x);
  return x;
}

// The residual is measured again on the returned X: M·X is the product the loop's last test
// formed (the same sums in the same order), so it has the same bits.
InverseReport PGL4::inverseWithReport(double delta, std::uint32_t max_iter) const noexcept {
  InverseReport report{};
  PGL4 m;
  report.iterations = newtonSchulz(*this, delta, max_iter, m, report.inverse);
  const PGL4 mx = mul(m, report.inverse);
  const PGL4 id = identity();
  bool all_below = true;
  for (std::size_t i = 0; i < 16; ++i) {
    const double diff = std::fabs(mx.data[i] - id.data[i]);
    if (diff > report.residual) report.residual = diff;  // a NaN never replaces it
    all_below = all_below && diff < 1e-12;               // nor passes
  }
  report.converged = all_below;
  return report;
}

PGL4 PGL4::normalizeDet() const noexcept {
  const double d = det();
  if (std::fabs(d) < 1e-15) return *this;
  const double det_scale = cr::invFourthRoot(std::fabs(d));
  PGL4 result;
  for (std::size_t i = 0; i < 16; ++i) result.data[i] = data[i] * det_scale;
  return result;
}

}  // namespace nemra_kernel
