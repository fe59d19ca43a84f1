// The PGL4 entry points for each instruction set, from the loops of detail/simd.hpp.
#include <cstddef>
#include <cstdint>

#include <nemra_kernel/detail/dispatch.hpp>
#include <nemra_kernel/detail/simd.hpp>

namespace nemra_kernel::detail {

namespace {

// HomVec4 is four adjacent doubles x, y, z, w; the vector loops read and write them in place.
static_assert(sizeof(HomVec4) == 4 * sizeof(double) && offsetof(HomVec4, w) == 3 * sizeof(double));
const double* components(const HomVec4& v) { return reinterpret_cast<const double*>(&v); }
double* components(HomVec4& v) { return reinterpret_cast<double*>(&v); }

}  // namespace

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

double detSse2(const PGL4& m) { return simd::sse2::det(m.data.data()); }

std::uint32_t newtonSchulzSse2(const double* m_reg, double* xr, std::uint32_t max_iter) {
  return simd::sse2::newtonSchulz(m_reg, xr, max_iter);
}

void applyManySse2(const PGL4& m, const HomVec4* in, HomVec4* out, std::size_t n) {
  simd::sse2::applyMany(m.data.data(), components(*in), components(*out), n);
}

#if NEMRA_KERNEL_HAVE_AVX_PATH
NEMRA_KERNEL_AVX_BEGIN
PGL4 mulAvx(const PGL4& a, const PGL4& b) {
  PGL4 r;
  simd::avx::mul(a.data.data(), b.data.data(), r.data.data());
  return r;
}

HomVec4 applyAvx(const PGL4& m, const HomVec4& v) {
  HomVec4 r;
  simd::avx::apply(m.data.data(), components(v), components(r));
  return r;
}

double detAvx(const PGL4& m) { return simd::avx::det(m.data.data()); }

std::uint32_t newtonSchulzAvx(const double* m_reg, double* xr, std::uint32_t max_iter) {
  return simd::avx::newtonSchulz(m_reg, xr, max_iter);
}

void applyManyAvx(const PGL4& m, const HomVec4* in, HomVec4* out, std::size_t n) {
  simd::avx::applyMany(m.data.data(), components(*in), components(*out), n);
}
NEMRA_KERNEL_AVX_END
#endif

}  // namespace nemra_kernel::detail
