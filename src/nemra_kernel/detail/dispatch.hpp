// Private to the kernel's sources (not installed): the kernel's entry points whose instruction set
// is chosen once, when the program or the shared library is loaded (detail/dispatch.cpp), and the
// candidates, one per instruction set.
#ifndef NEMRA_KERNEL_DETAIL_DISPATCH_HPP
#define NEMRA_KERNEL_DETAIL_DISPATCH_HPP

#include <cstddef>
#include <cstdint>

#include <nemra_kernel/detail/isa.hpp>
#include <nemra_kernel/hom_vec4.hpp>
#include <nemra_kernel/pgl4.hpp>

namespace nemra_kernel::detail {

// Hidden where they are declared, not only where defined: the resolvers take the candidates'
// addresses while the library's relocations are not all applied yet, which must then be relative
// to the code rather than loaded from the global offset table.
#pragma GCC visibility push(hidden)

// The entry points, each the same bits on every instruction set: pgl4Mul, pgl4Apply and pgl4Det
// (declared in pgl4.hpp, as the header's inline functions call them) and these three.
//
// newtonSchulz: the loop of pgl4_lanes.inl (m_reg column-major, xr row-major, in and out); returns
// the number of iterations run. applyMany: out[i] = m·in[i] for i in [0, n); out may be in.
// fsDistanceMany: out[i] = fsDistance(a, b[i]) for i in [0, n).
std::uint32_t newtonSchulz(const double* m_reg, double* xr, std::uint32_t max_iter);
void applyMany(const PGL4& m, const HomVec4* in, HomVec4* out, std::size_t n);
void fsDistanceMany(const HomVec4& a, const HomVec4* b, double* out, std::size_t n);

// The candidates, one per instruction set: the PGL4 ones in detail/pgl4_simd.cpp, fsDistanceMany's
// in fs_distance.cpp. The AVX ones exist only where NEMRA_KERNEL_HAVE_AVX_PATH is 1.
PGL4 mulSse2(const PGL4& a, const PGL4& b);
HomVec4 applySse2(const PGL4& m, const HomVec4& v);
double detSse2(const PGL4& m);
std::uint32_t newtonSchulzSse2(const double* m_reg, double* xr, std::uint32_t max_iter);
void applyManySse2(const PGL4& m, const HomVec4* in, HomVec4* out, std::size_t n);
void fsDistanceManySse2(const HomVec4& a, const HomVec4* b, double* out, std::size_t n);
#if NEMRA_KERNEL_HAVE_AVX_PATH
PGL4 mulAvx(const PGL4& a, const PGL4& b);
HomVec4 applyAvx(const PGL4& m, const HomVec4& v);
double detAvx(const PGL4& m);
std::uint32_t newtonSchulzAvx(const double* m_reg, double* xr, std::uint32_t max_iter);
void applyManyAvx(const PGL4& m, const HomVec4* in, HomVec4* out, std::size_t n);
void fsDistanceManyAvx(const HomVec4& a, const HomVec4* b, double* out, std::size_t n);
#endif

#pragma GCC visibility pop

}  // namespace nemra_kernel::detail

#endif
