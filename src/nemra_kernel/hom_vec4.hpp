// HomVec4: a point of real projective 3-space as homogeneous coordinates (x, y, z, w), and the
// choice of affine chart.
#include <nemra/config.hpp>

#if NEMRA_CXX23 && !defined(NEMRA_KERNEL_HOM_VEC4_HPP)
#define NEMRA_KERNEL_HOM_VEC4_HPP

#include <array>
#include <cstdint>
#include <iosfwd>

namespace nemra_kernel {

// Below this magnitude a w coordinate counts as zero: the point is treated as a point at infinity.
inline constexpr double W_EPS = 1e-06;

// A vector shorter than this counts as the zero vector.
inline constexpr double ZERO_NORM_GUARD = 1e-15;

// One of the four standard affine charts of P³: the one on which that coordinate is non-zero.
enum class AffineCard : std::uint8_t { UW = 0, UX = 1, UY = 2, UZ = 3 };

// A vector and every non-zero multiple of it (its antipode included) name the same point; the
// all-zero vector names no point but is a legal value. No invariant is enforced.
//
// The arithmetic is out of line on purpose: results are IEEE double without fused multiply-add,
// with every sum taken left to right, and must not change with the flags of the program that
// includes this header.
struct NEMRA_API HomVec4 {
  double x;
  double y;
  double z;
  double w;

  [[nodiscard]] static constexpr HomVec4 init(double X, double Y, double Z, double W) noexcept {
    return {X, Y, Z, W};
  }
  // The affine point (x, y, z, 1).
  [[nodiscard]] static constexpr HomVec4 fromCartesian(double x, double y, double z) noexcept {
    return {x, y, z, 1.0};
  }
  [[nodiscard]] static constexpr HomVec4 zero() noexcept { return {0.0, 0.0, 0.0, 0.0}; }

  // Dehomogenisation: (x/w, y/w, z/w); for |w| < W_EPS the first three coordinates divided by the
  // length of all four (the unit direction for w = 0), and (0, 0, 0) for a vector shorter than
  // 1e-15. NaN components give NaN.
  [[nodiscard]] std::array<double, 3> cartesian3() const noexcept;
  // Euclidean length of all four components.
  [[nodiscard]] double norm() const noexcept;
  // Returns a new vector of length 1: each component divided by the length; (0, 0, 0, 1) for a
  // vector shorter than 1e-15.
  [[nodiscard]] HomVec4 normalize() const noexcept;
  // ((a.x·b.x + a.y·b.y) + a.z·b.z) + a.w·b.w.
  [[nodiscard]] static double dot(HomVec4 a, HomVec4 b) noexcept;
  // Whether a and b name the same point: both at least `tol` long and |cos| > 1 − tol. Blind to
  // sign and scale; false for a vector shorter than `tol` and for NaN components.
  [[nodiscard]] static bool isSamePoint(HomVec4 a, HomVec4 b, double tol) noexcept;
  // isSamePoint(a, −b, tol), which always equals isSamePoint(a, b, tol): antipodes on S³ are the
  // same point of P³.
  [[nodiscard]] static bool isAntipodalTo(HomVec4 a, HomVec4 b, double tol) noexcept;
  // The chart of the largest magnitude; ties go to the earlier of w, x, y, z; zero gives UW.
  [[nodiscard]] AffineCard pickBestCard() const noexcept;

  friend constexpr bool operator==(const HomVec4&, const HomVec4&) = default;
};

// "(x, y, z, w)", each component in the shortest form that reads back to the same double
// (std::from_chars gives the same bits; every NaN prints as "nan", its sign and payload left out).
// The stream's precision and format flags are not used.
NEMRA_API std::ostream& operator<<(std::ostream& os, const HomVec4& v);
// "UW", "UX", "UY" or "UZ"; a value outside the four as "AffineCard(n)".
NEMRA_API std::ostream& operator<<(std::ostream& os, AffineCard card);

}  // namespace nemra_kernel

#endif
