// The Fubini–Study distance between points of P³, and the conversions between a distance along a
// sphere and its weight W = cos(s / 2R).
#include <nemra/config.hpp>

#if NEMRA_CXX23 && !defined(NEMRA_KERNEL_FS_DISTANCE_HPP)
#define NEMRA_KERNEL_FS_DISTANCE_HPP

#include <span>

#include <nemra_kernel/hom_vec4.hpp>

namespace nemra_kernel {

// A radius in kilometres; no operation reads it (the round-trip check uses it in metres).
inline constexpr double R_TAVIR_KM = 5838.4;

// The angle between the lines spanned by a and b, in [0, π/2]: acos(min(|a·b| / (|a|·|b|), 1)).
// Blind to the length and sign of both vectors. 0 when either vector is shorter than 1e-15, and
// 0 for NaN or infinite components (the clamp takes a NaN cosine as 1).
[[nodiscard]] NEMRA_API double fsDistance(const HomVec4& a, const HomVec4& b) noexcept;

// out[i] = fsDistance(a, b[i]) for every i, bit for bit; a's length is taken once. Lengths that
// differ are a fatal error: a message naming both and an abort, as for PGL4::get/set.
NEMRA_API void fsDistanceMany(HomVec4 a, std::span<const HomVec4> b,
                              std::span<double> out) noexcept;

// cos(s_meters / (2·R_meters)). A zero radius gives NaN; radii are not checked.
[[nodiscard]] NEMRA_API double wFromDistance(double s_meters, double R_meters) noexcept;

// (2·R_meters) · acos(W clamped to [-1, 1]), a NaN W counting as 1 (distance 0).
[[nodiscard]] NEMRA_API double sFromW(double W, double R_meters) noexcept;

}  // namespace nemra_kernel

#endif
