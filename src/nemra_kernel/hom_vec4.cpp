#include <cmath>

#include <nemra_kernel/hom_vec4.hpp>

namespace nemra_kernel {

double HomVec4::dot(HomVec4 a, HomVec4 b) noexcept {
  return ((a.x * b.x + a.y * b.y) + a.z * b.z) + a.w * b.w;
}

double HomVec4::norm() const noexcept { return std::sqrt(((x * x + y * y) + z * z) + w * w); }

HomVec4 HomVec4::normalize() const noexcept {
  double n = norm();
  if (n < ZERO_NORM_GUARD) return {0.0, 0.0, 0.0, 1.0};
  return {x / n, y / n, z / n, w / n};
}

std::array<double, 3> HomVec4::cartesian3() const noexcept {
  if (std::fabs(w) < W_EPS) {
    double n = norm();
    if (n < ZERO_NORM_GUARD) return {0.0, 0.0, 0.0};
    return {x / n, y / n, z / n};
  }
  return {x / w, y / w, z / w};
}

bool HomVec4::isSamePoint(HomVec4 a, HomVec4 b, double tol) noexcept {
  double n1 = a.norm();
  double n2 = b.norm();
  if (n1 < tol || n2 < tol) return false;
  double d = std::fabs(dot(a, b)) / (n1 * n2);
  return d > 1.0 - tol;
}

bool HomVec4::isAntipodalTo(HomVec4 a, HomVec4 b, double tol) noexcept {
  return isSamePoint(a, init(-b.x, -b.y, -b.z, -b.w), tol);
}

AffineCard HomVec4::pickBestCard() const noexcept {
  double aw = std::fabs(w), ax = std::fabs(x), ay = std::fabs(y), az = std::fabs(z);
  if (aw >= ax && aw >= ay && aw >= az) return AffineCard::UW;
  if (ax >= ay && ax >= az) return AffineCard::UX;
  if (ay >= az) return AffineCard::UY;
  return AffineCard::UZ;
}

}  // namespace nemra_kernel
