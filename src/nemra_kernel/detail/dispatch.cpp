// The instruction-set choice of the whole kernel: the processor check, and the resolver of every
// entry point of detail/dispatch.hpp.
#include <cstddef>
#include <cstdint>

#include <nemra_kernel/detail/dispatch.hpp>

namespace nemra_kernel::detail {

#if NEMRA_KERNEL_HAVE_AVX_PATH
// The entry points are GNU indirect functions: the dynamic loader asks the resolvers below once,
// while it relocates the program or the shared library, which code to bind, so a call costs no
// more than an ordinary call into a library.
//
// The resolvers run before anything else is ready: before constructors (a sanitizer's run-time
// included) and before the library's own relocations are all applied. So they and the detection
// are uninstrumented functions that make no call outside this unit (the candidates' addresses
// are only taken, relative to the code, as they are hidden symbols of the library) and read no
// global. No stack protector either: its canary is thread-local data, not set up yet.
#if defined(__clang__)
#define NEMRA_KERNEL_UNINSTRUMENTED \
  __attribute__((disable_sanitizer_instrumentation, no_stack_protector))
#else
#define NEMRA_KERNEL_UNINSTRUMENTED \
  __attribute__((no_sanitize("address", "undefined", "thread"), no_stack_protector))
#endif

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

using MulFn = PGL4(const PGL4&, const PGL4&) noexcept;
using ApplyFn = HomVec4(const PGL4&, const HomVec4&) noexcept;
using DetFn = double(const PGL4&) noexcept;
using NewtonSchulzFn = std::uint32_t(const double*, double*, std::uint32_t) noexcept;
using ApplyManyFn = void(const PGL4&, const HomVec4*, HomVec4*, std::size_t) noexcept;
using DistancesFn = void(const HomVec4&, const HomVec4*, double*, std::size_t) noexcept;

// Named without mangling for the ifunc attributes; hidden like everything not marked NEMRA_API.
extern "C" {
NEMRA_KERNEL_UNINSTRUMENTED MulFn* nemra_kernel_pick_mul() {
  return cpuHasAvx() ? &avx::pgl4Mul : &sse2::pgl4Mul;
}
NEMRA_KERNEL_UNINSTRUMENTED ApplyFn* nemra_kernel_pick_apply() {
  return cpuHasAvx() ? &avx::pgl4Apply : &sse2::pgl4Apply;
}
NEMRA_KERNEL_UNINSTRUMENTED DetFn* nemra_kernel_pick_det() {
  return cpuHasAvx() ? &avx::pgl4Det : &sse2::pgl4Det;
}
NEMRA_KERNEL_UNINSTRUMENTED NewtonSchulzFn* nemra_kernel_pick_newton_schulz() {
  return cpuHasAvx() ? &avx::newtonSchulz : &sse2::newtonSchulz;
}
NEMRA_KERNEL_UNINSTRUMENTED ApplyManyFn* nemra_kernel_pick_apply_many() {
  return cpuHasAvx() ? &avx::applyMany : &sse2::applyMany;
}
NEMRA_KERNEL_UNINSTRUMENTED DistancesFn* nemra_kernel_pick_fs_distance_many() {
  return cpuHasAvx() ? &avx::fsDistanceMany : &sse2::fsDistanceMany;
}
}

[[gnu::ifunc("nemra_kernel_pick_mul")]] PGL4 pgl4Mul(const PGL4& a, const PGL4& b) noexcept;
[[gnu::ifunc("nemra_kernel_pick_apply")]] HomVec4 pgl4Apply(const PGL4& m,
                                                            const HomVec4& v) noexcept;
[[gnu::ifunc("nemra_kernel_pick_det")]] double pgl4Det(const PGL4& m) noexcept;
[[gnu::ifunc("nemra_kernel_pick_newton_schulz")]] std::uint32_t newtonSchulz(
    const double* m_reg, double* xr, std::uint32_t max_iter) noexcept;
[[gnu::ifunc("nemra_kernel_pick_apply_many")]] void applyMany(const PGL4& m, const HomVec4* in,
                                                              HomVec4* out, std::size_t n) noexcept;
[[gnu::ifunc("nemra_kernel_pick_fs_distance_many")]] void fsDistanceMany(const HomVec4& a,
                                                                         const HomVec4* b,
                                                                         double* out,
                                                                         std::size_t n) noexcept;
#else
// One instruction set: plain calls.
PGL4 pgl4Mul(const PGL4& a, const PGL4& b) noexcept { return sse2::pgl4Mul(a, b); }
HomVec4 pgl4Apply(const PGL4& m, const HomVec4& v) noexcept { return sse2::pgl4Apply(m, v); }
double pgl4Det(const PGL4& m) noexcept { return sse2::pgl4Det(m); }
std::uint32_t newtonSchulz(const double* m_reg, double* xr, std::uint32_t max_iter) noexcept {
  return sse2::newtonSchulz(m_reg, xr, max_iter);
}
void applyMany(const PGL4& m, const HomVec4* in, HomVec4* out, std::size_t n) noexcept {
  sse2::applyMany(m, in, out, n);
}
void fsDistanceMany(const HomVec4& a, const HomVec4* b, double* out, std::size_t n) noexcept {
  sse2::fsDistanceMany(a, b, out, n);
}
#endif

}  // namespace nemra_kernel::detail
