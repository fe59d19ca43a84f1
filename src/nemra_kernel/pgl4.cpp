#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ostream>
#include <string>

#include <nemra_kernel/pgl4.hpp>

#include "pgl4_simd.inl"
#include "shortest_double.inl"

// For code that runs before the library is relocated: no sanitizer instrumentation and no stack
// protector (its canary is thread-local data).
#if defined(__clang__)
#define NEMRA_KERNEL_UNINSTRUMENTED \
  __attribute__((disable_sanitizer_instrumentation, no_stack_protector))
#else
#define NEMRA_KERNEL_UNINSTRUMENTED \
  __attribute__((no_sanitize("address", "undefined", "thread"), no_stack_protector))
#endif

namespace nemra_kernel {

namespace detail {

namespace {

// HomVec4 is four adjacent doubles x, y, z, w; the vector loops read and write them in place.
static_assert(sizeof(HomVec4) == 4 * sizeof(double) && offsetof(HomVec4, w) == 3 * sizeof(double));
const double* components(const HomVec4& v) { return reinterpret_cast<const double*>(&v); }
double* components(HomVec4& v) { return reinterpret_cast<double*>(&v); }

// The Laplace expansion along row 0. All four minors strike out row 0, so each works on rows 1..3
// with three of the four columns (a < b < d) and is
//   (m(1,a)·T(b,d) − m(1,b)·T(a,d)) + m(1,d)·T(a,b),
// where T(p,q) = m(2,p)·m(3,q) − m(2,q)·m(3,p) is the 2×2 determinant of rows 2..3 in columns p
// and q. Each T is literally the same two products and subtraction in every minor that uses it,
// so the six distinct ones are formed once.
[[gnu::always_inline]] inline double det(const double* m) {
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

PGL4 mulSse2(const PGL4& a, const PGL4& b) {
  PGL4 r;
  simd::sse2::mul(a.data.data(), b.data.data(), r.data.data());
  return r;
}

HomVec4 applySse2(const PGL4& m, const HomVec4& v) {
  HomVec4 r;
  simd::sse2::apply(m.data.data(), components(v), components(r));
  return r;
}

double detSse2(const PGL4& m) { return det(m.data.data()); }

std::uint32_t newtonSchulzSse2(const double* m_reg, double* xr, std::uint32_t max_iter) {
  return simd::sse2::newtonSchulz(m_reg, xr, max_iter);
}

void applyManySse2(const PGL4& m, const HomVec4* in, HomVec4* out, std::size_t n) {
  simd::sse2::applyMany(m.data.data(), components(*in), components(*out), n);
}

#if NEMRA_KERNEL_HAVE_AVX_PATH
// The same operations compiled for AVX (never FMA).
[[gnu::target("avx")]] PGL4 mulAvx(const PGL4& a, const PGL4& b) {
  PGL4 r;
  simd::avx::mul(a.data.data(), b.data.data(), r.data.data());
  return r;
}

[[gnu::target("avx")]] HomVec4 applyAvx(const PGL4& m, const HomVec4& v) {
  HomVec4 r;
  simd::avx::apply(m.data.data(), components(v), components(r));
  return r;
}

[[gnu::target("avx")]] double detAvx(const PGL4& m) { return simd::avx::det(m.data.data()); }

[[gnu::target("avx")]] std::uint32_t newtonSchulzAvx(const double* m_reg, double* xr,
                                                     std::uint32_t max_iter) {
  return simd::avx::newtonSchulz(m_reg, xr, max_iter);
}

[[gnu::target("avx")]] void applyManyAvx(const PGL4& m, const HomVec4* in, HomVec4* out,
                                         std::size_t n) {
  simd::avx::applyMany(m.data.data(), components(*in), components(*out), n);
}
#endif

}  // namespace

#if NEMRA_KERNEL_HAVE_AVX_PATH
// mul, apply, det and the Newton–Schulz loop of the inverse are GNU indirect functions: the
// dynamic loader asks the resolvers below once, while it relocates the program or the shared
// library, which code to bind, so a call costs no more than an ordinary call into a library.
//
// The resolvers run before anything else is ready: before constructors (a sanitizer's run-time
// included) and before the library's own relocations are all applied. So they and the detection
// are uninstrumented functions of this unit that call nothing outside it and read no global.
namespace {

// Whether the processor has AVX and the operating system saves the AVX registers: CPUID leaf 1
// (ECX bit 27 OSXSAVE, bit 28 AVX), then bits 1 and 2 of XCR0 (SSE and AVX state enabled).
NEMRA_KERNEL_UNINSTRUMENTED bool cpuHasAvx() {
  unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
  __asm__("cpuid" : "=a"(eax), "=b"(ebx), "=c"(ecx), "=d"(edx) : "a"(0u), "c"(0u));
  if (eax < 1) return false;
  __asm__("cpuid" : "=a"(eax), "=b"(ebx), "=c"(ecx), "=d"(edx) : "a"(1u), "c"(0u));
  constexpr unsigned kOsxsave = 1u << 27, kAvx = 1u << 28;
  if ((ecx & (kOsxsave | kAvx)) != (kOsxsave | kAvx)) return false;
  unsigned xcr0 = 0, xcr0_high = 0;
  __asm__("xgetbv" : "=a"(xcr0), "=d"(xcr0_high) : "c"(0u));
  return (xcr0 & 6u) == 6u;
}

}  // namespace

using MulFn = PGL4(const PGL4&, const PGL4&);
using ApplyFn = HomVec4(const PGL4&, const HomVec4&);
using DetFn = double(const PGL4&);
using NewtonSchulzFn = std::uint32_t(const double*, double*, std::uint32_t);
using ApplyManyFn = void(const PGL4&, const HomVec4*, HomVec4*, std::size_t);
using DistancesFn = void(const HomVec4&, const HomVec4*, double*, std::size_t);

// Named without mangling for the ifunc attributes; hidden like everything not marked NEMRA_API.
extern "C" {
NEMRA_KERNEL_UNINSTRUMENTED MulFn* nemra_kernel_pick_mul() {
  return cpuHasAvx() ? &mulAvx : &mulSse2;
}
NEMRA_KERNEL_UNINSTRUMENTED ApplyFn* nemra_kernel_pick_apply() {
  return cpuHasAvx() ? &applyAvx : &applySse2;
}
NEMRA_KERNEL_UNINSTRUMENTED DetFn* nemra_kernel_pick_det() {
  return cpuHasAvx() ? &detAvx : &detSse2;
}
NEMRA_KERNEL_UNINSTRUMENTED NewtonSchulzFn* nemra_kernel_pick_newton_schulz() {
  return cpuHasAvx() ? &newtonSchulzAvx : &newtonSchulzSse2;
}
NEMRA_KERNEL_UNINSTRUMENTED ApplyManyFn* nemra_kernel_pick_apply_many() {
  return cpuHasAvx() ? &applyManyAvx : &applyManySse2;
}
// The loops of fsDistanceMany live in fs_distance.cpp; only their addresses are taken here.
NEMRA_KERNEL_UNINSTRUMENTED DistancesFn* nemra_kernel_pick_fs_distance_many() {
  return cpuHasAvx() ? &simd::avx::fsDistanceMany : &simd::sse2::fsDistanceMany;
}
}

[[gnu::ifunc("nemra_kernel_pick_mul")]] PGL4 pgl4Mul(const PGL4& a, const PGL4& b) noexcept;
[[gnu::ifunc("nemra_kernel_pick_apply")]] HomVec4 pgl4Apply(const PGL4& m,
                                                            const HomVec4& v) noexcept;
[[gnu::ifunc("nemra_kernel_pick_det")]] double pgl4Det(const PGL4& m) noexcept;
[[gnu::ifunc("nemra_kernel_pick_newton_schulz")]] std::uint32_t simd::newtonSchulz(
    const double* m_reg, double* xr, std::uint32_t max_iter);
[[gnu::ifunc("nemra_kernel_pick_apply_many")]] void simd::applyMany(const PGL4& m,
                                                                    const HomVec4* in, HomVec4* out,
                                                                    std::size_t n);
[[gnu::ifunc("nemra_kernel_pick_fs_distance_many")]] void simd::fsDistanceMany(const HomVec4& a,
                                                                               const HomVec4* b,
                                                                               double* out,
                                                                               std::size_t n);
#else
PGL4 pgl4Mul(const PGL4& a, const PGL4& b) noexcept { return mulSse2(a, b); }
HomVec4 pgl4Apply(const PGL4& m, const HomVec4& v) noexcept { return applySse2(m, v); }
double pgl4Det(const PGL4& m) noexcept { return detSse2(m); }
std::uint32_t simd::newtonSchulz(const double* m_reg, double* xr, std::uint32_t max_iter) {
  return newtonSchulzSse2(m_reg, xr, max_iter);
}
void simd::applyMany(const PGL4& m, const HomVec4* in, HomVec4* out, std::size_t n) {
  applyManySse2(m, in, out, n);
}
void simd::fsDistanceMany(const HomVec4& a, const HomVec4* b, double* out, std::size_t n) {
  simd::sse2::fsDistanceMany(a, b, out, n);
}
#endif

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
  detail::simd::applyMany(*this, in.data(), out.data(), n);
}

std::ostream& operator<<(std::ostream& os, const PGL4& m) {
  detail::ShortestDouble entries[4][4] = {
      {detail::ShortestDouble(m.data[0]), detail::ShortestDouble(m.data[4]),
       detail::ShortestDouble(m.data[8]), detail::ShortestDouble(m.data[12])},
      {detail::ShortestDouble(m.data[1]), detail::ShortestDouble(m.data[5]),
       detail::ShortestDouble(m.data[9]), detail::ShortestDouble(m.data[13])},
      {detail::ShortestDouble(m.data[2]), detail::ShortestDouble(m.data[6]),
       detail::ShortestDouble(m.data[10]), detail::ShortestDouble(m.data[14])},
      {detail::ShortestDouble(m.data[3]), detail::ShortestDouble(m.data[7]),
       detail::ShortestDouble(m.data[11]), detail::ShortestDouble(m.data[15])}};
  std::size_t width[4] = {};
  for (const auto& row : entries) {
    for (std::size_t c = 0; c < 4; ++c) width[c] = row[c].size > width[c] ? row[c].size : width[c];
  }
  // Built whole and written once, so a width set on the stream pads the matrix, not an entry.
  std::string text;
  for (std::size_t r = 0; r < 4; ++r) {
    text += r == 0 ? "[" : "\n[";
    for (std::size_t c = 0; c < 4; ++c) {
      if (c != 0) text += ", ";
      text.append(width[c] - entries[r][c].size, ' ');
      text += entries[r][c].view();
    }
    text += ']';
  }
  return os << text;
}

PGL4 pglRotateX(double angle) noexcept {
  const double c = std::cos(angle);
  const double s = std::sin(angle);
  return PGL4::init({1.0, 0.0, 0.0, 0.0, 0.0, c, s, 0.0, 0.0, -s, c, 0.0, 0.0, 0.0, 0.0, 1.0});
}

PGL4 pglRotateY(double angle) noexcept {
  const double c = std::cos(angle);
  const double s = std::sin(angle);
  return PGL4::init({c, 0.0, -s, 0.0, 0.0, 1.0, 0.0, 0.0, s, 0.0, c, 0.0, 0.0, 0.0, 0.0, 1.0});
}

PGL4 pglRotateZ(double angle) noexcept {
  const double c = std::cos(angle);
  const double s = std::sin(angle);
  return PGL4::init({c, s, 0.0, 0.0, -s, c, 0.0, 0.0, 0.0, 0.0, 1.0, 0.0, 0.0, 0.0, 0.0, 1.0});
}

PGL4 pglPerspective(double fovy, double aspect, double near, double far) noexcept {
  const double focal = 1.0 / std::tan(fovy / 2.0);
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
