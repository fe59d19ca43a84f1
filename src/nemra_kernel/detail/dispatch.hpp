// Private to the kernel's sources (not installed): the kernel's entry points whose instruction set
// is chosen once, when the program or the shared library is loaded (detail/dispatch.cpp), and the
// candidates, one namespace per instruction set.
#ifndef NEMRA_KERNEL_DETAIL_DISPATCH_HPP
#define NEMRA_KERNEL_DETAIL_DISPATCH_HPP

#include <cstddef>
#include <cstdint>

#include <nemra_kernel/detail/isa.hpp>
#include <nemra_kernel/hom_vec4.hpp>
#include <nemra_kernel/pgl4.hpp>

namespace nemra_kernel::detail {

// The entry points, each the same bits on every instruction set: pgl4Mul, pgl4Apply and pgl4Det
// (declared in pgl4.hpp, whose inline functions call them) and these three.
//
// newtonSchulz: the loop of PGL4::inverse (m_reg column-major, xr row-major, in and out); returns
// the number of iterations run. applyMany: out[i] = m·in[i] for i in [0, n); out may be in.
// fsDistanceMany: out[i] = fsDistance(a, b[i]) for i in [0, n).
std::uint32_t newtonSchulz(const double* m_reg, double* xr, std::uint32_t max_iter) noexcept;
void applyMany(const PGL4& m, const HomVec4* in, HomVec4* out, std::size_t n) noexcept;
void fsDistanceMany(const HomVec4& a, const HomVec4* b, double* out, std::size_t n) noexcept;

// The candidates, hidden where they are declared, not only where defined: the resolvers take their
// addresses while the library's relocations are not all applied yet, which must then be relative
// to the code rather than loaded from the global offset table.
#pragma GCC visibility push(hidden)
namespace sse2 {
#include "entry_points.inl"
}  // namespace sse2
#if NEMRA_KERNEL_HAVE_AVX_PATH
namespace avx {
#include "entry_points.inl"
}  // namespace avx
#endif
#pragma GCC visibility pop

}  // namespace nemra_kernel::detail

#endif
