#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include <nemra_kernel/cr_math.hpp>
#include <nemra_kernel/detail/dispatch.hpp>
#include <nemra_kernel/pgl4.hpp>

namespace nemra_kernel {

namespace detail {

void PGL4_index_out_of_range(std::size_t row, std::size_t col) {
  std::fprintf(stderr,
               "nemra_kernel: PGL4 entry (%zu, %zu) is out of range: row and column are 0..3\n",
               row, col);
  std::abort();
}

}  // namespace detail

void PGL4::applyMany(std::span<const HomVec4> in, std::span<HomVec4> out) const noexcept {
  const std::size_t n = in.size();
  if (out.size() != n) {
    std::fprintf(stderr,
                 "nemra_kernel: PGL4::applyMany: in has %zu points but out has %zu: the lengths "
                 "must be equal\n",
                 n, out.size());
    std::abort();
  }
  if (n == 0) return;
  // Compared as addresses: the spans may come from unrelated arrays.
  const auto in_begin = reinterpret_cast<std::uintptr_t>(in.data());
  const auto out_begin = reinterpret_cast<std::uintptr_t>(out.data());
  const std::uintptr_t bytes = n * sizeof(HomVec4);
  if (in_begin != out_begin && in_begin < out_begin + bytes && out_begin < in_begin + bytes) {
    std::fprintf(stderr,
                 "nemra_kernel: PGL4::applyMany: out overlaps in without being in itself (out "
                 "starts %td points after in): points would be overwritten before they are read\n",
                 static_cast<std::ptrdiff_t>(out_begin - in_begin) /
                     static_cast<std::ptrdiff_t>(sizeof(HomVec4)));
    std::abort();
  }
  detail::applyMany(*this, in.data(), out.data(), n);
}

PGL4 pglRotateX(double angle) noexcept {
  const double c = cr::cos(angle);
  const double s = cr::sin(angle);
  return PGL4::init({1.0, 0.0, 0.0, 0.0, 0.0, c, s, 0.0, 0.0, -s, c, 0.0, 0.0, 0.0, 0.0, 1.0});
}

PGL4 pglRotateY(double angle) noexcept {
  const double c = cr::cos(angle);
  const double s = cr::sin(angle);
  return PGL4::init({c, 0.0, -s, 0.0, 0.0, 1.0, 0.0, 0.0, s, 0.0, c, 0.0, 0.0, 0.0, 0.0, 1.0});
}

PGL4 pglRotateZ(double angle) noexcept {
  const double c = cr::cos(angle);
  const double s = cr::sin(angle);
  return PGL4::init({c, s, 0.0, 0.0, -s, c, 0.0, 0.0, 0.0, 0.0, 1.0, 0.0, 0.0, 0.0, 0.0, 1.0});
}

PGL4 pglPerspective(double fovy, double aspect, double near, double far) noexcept {
  const double focal = 1.0 / cr::tan(fovy / 2.0);
  const double a = focal / aspect;
  const double b = (far + near) / (near - far);
  const double e = ((2.0 * far) * near) / (near - far);
  return PGL4::fromRowMajor({{{a, 0.0, 0.0, 0.0},  //
                              {0.0, focal, 0.0, 0.0},
                              {0.0, 0.0, b, e},
                              {0.0, 0.0, -1.0, 0.0}}});
}

namespace {

using Vec3 = std::array<double, 3>;

double dot3(const Vec3& p, const Vec3& q) { return (p[0] * q[0] + p[1] * q[1]) + p[2] * q[2]; }

Vec3 cross3(const Vec3& p, const Vec3& q) {
  return {p[1] * q[2] - p[2] * q[1], p[2] * q[0] - p[0] * q[2], p[0] * q[1] - p[1] * q[0]};
}

Vec3 unit3(const Vec3& p) {
  const double n = std::sqrt(dot3(p, p));
  return {p[0] / n, p[1] / n, p[2] / n};
}

}  // namespace

PGL4 pglLookAt(std::array<double, 3> eye, std::array<double, 3> center,
               std::array<double, 3> up) noexcept {
  const Vec3 f = unit3({center[0] - eye[0], center[1] - eye[1], center[2] - eye[2]});
  const Vec3 s = unit3(cross3(f, up));
  const Vec3 u = cross3(s, f);
  return PGL4::fromRowMajor({{{s[0], s[1], s[2], -dot3(s, eye)},
                              {u[0], u[1], u[2], -dot3(u, eye)},
                              {-f[0], -f[1], -f[2], dot3(f, eye)},
                              {0.0, 0.0, 0.0, 1.0}}});
}

}  // namespace nemra_kernel
