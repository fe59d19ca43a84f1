#include <cmath>
#include <cstddef>
#include <cstdio>
#include <cstdlib>

#include <nemra_kernel/cr_math.hpp>
#include <nemra_kernel/detail/dispatch.hpp>
#include <nemra_kernel/fs_distance.hpp>

namespace nemra_kernel {

namespace {

using V2 = double __attribute__((vector_size(16)));

// Correctly rounded square root of both lanes, the same bits as std::sqrt of each, without the
// errno path the scalar call carries (the arguments here are sums of squares, never negative).
[[gnu::always_inline]] inline V2 sqrt2(V2 v) {
#if defined(__SSE2__)
  return __builtin_ia32_sqrtpd(v);
#else
  return V2{std::sqrt(v[0]), std::sqrt(v[1])};
#endif
}

// The steps of fsDistance after the two lengths, for a given dot product a·b.
[[gnu::always_inline]] inline double fromCosine(double dot, double n1, double n2) {
  if (n1 < ZERO_NORM_GUARD || n2 < ZERO_NORM_GUARD) return 0.0;
  const double d = std::fabs(dot) / (n1 * n2);
  const double cos_theta = d < 1.0 ? d : 1.0;
  return cr::acos(cos_theta);
}

}  // namespace

namespace detail {

namespace sse2 {
constexpr std::size_t kLanes = 2;
using Vec = V2;
[[gnu::always_inline]] inline Vec sqrtLanes(Vec v) { return sqrt2(v); }
#include "detail/fs_distance_lanes.inl"
}  // namespace sse2

#if NEMRA_KERNEL_HAVE_AVX_PATH
NEMRA_KERNEL_AVX_BEGIN
namespace avx {
constexpr std::size_t kLanes = 4;
using Vec = double __attribute__((vector_size(32)));
[[gnu::always_inline]] inline Vec sqrtLanes(Vec v) { return _mm256_sqrt_pd(v); }
#include "detail/fs_distance_lanes.inl"
}  // namespace avx
NEMRA_KERNEL_AVX_END
#endif

}  // namespace detail

void fsDistanceMany(HomVec4 a, std::span<const HomVec4> b, std::span<double> out) noexcept {
  if (b.size() != out.size()) {
    std::fprintf(stderr,
                 "nemra_kernel: fsDistanceMany: b has %zu points but out has %zu: the lengths "
                 "must be equal\n",
                 b.size(), out.size());
    std::abort();
  }
  if (!b.empty()) detail::fsDistanceMany(a, b.data(), out.data(), b.size());
}

double fsDistance(const HomVec4& a, const HomVec4& b) noexcept {
  // Both squared lengths at once, each summed ((x·x + y·y) + z·z) + w·w as in HomVec4::norm.
  const V2 x = {a.x, b.x}, y = {a.y, b.y}, z = {a.z, b.z}, w = {a.w, b.w};
  const V2 n = sqrt2(((x * x + y * y) + z * z) + w * w);
  const double n1 = n[0], n2 = n[1];
  if (n1 < ZERO_NORM_GUARD || n2 < ZERO_NORM_GUARD) return 0.0;
  const double dot = ((a.x * b.x + a.y * b.y) + a.z * b.z) + a.w * b.w;
  const double d = std::fabs(dot) / (n1 * n2);
  // The smaller of d and 1, written as a comparison so that a NaN d becomes 1.
  const double cos_theta = d < 1.0 ? d : 1.0;
  return cr::acos(cos_theta);
}

double wFromDistance(double s_meters, double R_meters) noexcept {
  return cr::cos(s_meters / (2.0 * R_meters));
}

double sFromW(double W, double R_meters) noexcept {
  // First at most 1 (NaN becomes 1), then at least -1.
  const double at_most_one = W < 1.0 ? W : 1.0;
  const double W_clamped = at_most_one > -1.0 ? at_most_one : -1.0;
  return (2.0 * R_meters) * cr::acos(W_clamped);
}

}  // namespace nemra_kernel
