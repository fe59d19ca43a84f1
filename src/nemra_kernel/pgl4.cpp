#include <cmath>
#include <cstddef>
#include <cstdio>
#include <cstdlib>

#include <nemra_kernel/pgl4.hpp>

#include "pgl4_simd.inl"

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

void newtonSchulzSse2(const double* m_reg, double* xr, std::uint32_t max_iter) {
  simd::sse2::newtonSchulz(m_reg, xr, max_iter);
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

[[gnu::target("avx")]] void newtonSchulzAvx(const double* m_reg, double* xr,
                                            std::uint32_t max_iter) {
  simd::avx::newtonSchulz(m_reg, xr, max_iter);
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
using NewtonSchulzFn = void(const double*, double*, std::uint32_t);

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
}

[[gnu::ifunc("nemra_kernel_pick_mul")]] PGL4 pgl4Mul(const PGL4& a, const PGL4& b);
[[gnu::ifunc("nemra_kernel_pick_apply")]] HomVec4 pgl4Apply(const PGL4& m, const HomVec4& v);
[[gnu::ifunc("nemra_kernel_pick_det")]] double pgl4Det(const PGL4& m);
[[gnu::ifunc("nemra_kernel_pick_newton_schulz")]] void simd::newtonSchulz(const double* m_reg,
                                                                          double* xr,
                                                                          std::uint32_t max_iter);
#else
PGL4 pgl4Mul(const PGL4& a, const PGL4& b) { return mulSse2(a, b); }
HomVec4 pgl4Apply(const PGL4& m, const HomVec4& v) { return applySse2(m, v); }
double pgl4Det(const PGL4& m) { return detSse2(m); }
void simd::newtonSchulz(const double* m_reg, double* xr, std::uint32_t max_iter) {
  newtonSchulzSse2(m_reg, xr, max_iter);
}
#endif

void PGL4_index_out_of_range(std::size_t row, std::size_t col) {
  std::fprintf(stderr,
               "nemra_kernel: PGL4 entry (%zu, %zu) is out of range: row and column are 0..3\n",
               row, col);
  std::abort();
}

}  // namespace detail

PGL4 pglRotateZ(double angle) {
  const double c = std::cos(angle);
  const double s = std::sin(angle);
  return PGL4::init({c, s, 0.0, 0.0, -s, c, 0.0, 0.0, 0.0, 0.0, 1.0, 0.0, 0.0, 0.0, 0.0, 1.0});
}

}  // namespace nemra_kernel
