// cr::invFourthRoot: x^(-1/4) correctly rounded to nearest. x = t 2^(4q), t in [1, 16): a start
// from the table kFourthRootCentres and a cubic, rounded to 28 bits, one correction from r = 1 - t
// y0^4 taken exactly in integers, within 2^-77 absolute on t^(-1/4) (kInvFourthRootFastBound); a
// rounding test; and an exact path in 320-bit integers. The derivation: docs/cr_math.md, section
// "invFourthRoot".
#include <bit>
#include <cstdint>
#include <limits>

#include <nemra_kernel/cr/detail/cr_inv_fourth_root.hpp>
#include <nemra_kernel/cr/detail/cr_inv_fourth_root_table.hpp>
#include <nemra_kernel/cr_math.hpp>

namespace nemra_kernel {
namespace {

__extension__ typedef unsigned __int128 u128;  // GCC and clang on 64-bit targets
__extension__ typedef __int128 i128;

constexpr double kTestOffset = 0x1p-77 + 0x1p-80;
static_assert(detail::kInvFourthRootFastBound == 0x1p-77);

struct Approximation {
  double y0;  // a multiple of 2^-28
  double c;   // z - y0 within kInvFourthRootFastBound
};

// z = t^(-1/4) for t = (1 + frac 2^-52) 2^k.
inline Approximation approximate(std::uint64_t frac, int k) noexcept {
  const double m = std::bit_cast<double>(frac | 0x3ff0000000000000u);
  const auto j = static_cast<unsigned>(frac >> 46);
  const detail::FourthRootCentre& centre = detail::kFourthRootCentres[j];
  const double v = (m - static_cast<double>(2 * j + 129) * 0x1p-7) * centre.inverse;
  const double series = 1.0 + v * (-0.25 + v * (0.15625 - v * 0.1171875));
  const double z0 = (centre.root * detail::kQuarterPowers[k]) * series;

  constexpr double round28 = 0x1.8p24;  // its ulp is 2^-28
  const double rounded = z0 + round28;
  const double y0 = rounded - round28;
  const std::uint64_t Y = std::bit_cast<std::uint64_t>(rounded) & ((std::uint64_t{1} << 51) - 1);

  const std::uint64_t Y2 = Y * Y;
  const u128 Y4 = static_cast<u128>(Y2) * Y2;
  const std::uint64_t T = (frac | (std::uint64_t{1} << 52)) << k;
  const u128 low = static_cast<u128>(T) * static_cast<std::uint64_t>(Y4);
  const u128 high = static_cast<u128>(T) * static_cast<std::uint64_t>(Y4 >> 64) + (low >> 64);
  const auto A = static_cast<i128>((u128{1} << 100) - high);  // (2^164 - T Y^4) / 2^64
  const double r = static_cast<double>(static_cast<std::int64_t>(A >> 12)) * 0x1p-88;
  const double p = r * (0.25 + 0.15625 * r);
  return {y0, y0 * p};
}

// value = value * k over little-endian 64-bit limbs (the caller keeps the product in range).
template <std::size_t N>
void mulLimbs(std::uint64_t (&value)[N], std::uint64_t k) noexcept {
  u128 carry = 0;
  for (std::size_t i = 0; i < N; ++i) {
    carry += static_cast<u128>(value[i]) * k;
    value[i] = static_cast<std::uint64_t>(carry);
    carry >>= 64;
  }
}

inline std::uint64_t bitsOf(double v) noexcept { return std::bit_cast<std::uint64_t>(v); }

[[gnu::noinline]] double exactPath(double t, double hi) noexcept {
  // hi in [1/2, 1]. In units of 2^-56 half the gap to the next double is 4, except below 1/2
  // (2) and above 1 (8).
  const auto S = static_cast<std::uint64_t>(hi * 0x1p56);
  const std::uint64_t half_below = hi == 0.5 ? 2 : 4;
  const std::uint64_t half_above = hi == 1.0 ? 8 : 4;
  if (detail::invFourthRootCompare(t, S - half_below) > 0) {
    return std::bit_cast<double>(bitsOf(hi) - 1);
  }
  if (detail::invFourthRootCompare(t, S + half_above) < 0) {
    return std::bit_cast<double>(bitsOf(hi) + 1);
  }
  return hi;
}

}  // namespace

namespace detail {

DoubleDouble invFourthRootFast(double t) noexcept {
  const std::uint64_t bits = bitsOf(t);
  const Approximation a =
      approximate(bits & 0x000fffffffffffffu, static_cast<int>(bits >> 52) - 1023);
  const double hi = a.y0 + a.c;
  return {hi, a.c - (hi - a.y0)};
}

int invFourthRootCompare(double t, std::uint64_t M) noexcept {
  // t = T 2^-52 with T < 2^56; T M^4 < 2^56 2^228 fits in five limbs.
  const auto T = static_cast<std::uint64_t>(t * 0x1p52);
  std::uint64_t v[5] = {T, 0, 0, 0, 0};
  for (int i = 0; i < 4; ++i) mulLimbs(v, M);
  constexpr std::uint64_t top = std::uint64_t{1} << 20;  // 2^276 is 2^20 in limb 4
  if (v[4] != top) return v[4] > top ? 1 : -1;
  return (v[0] | v[1] | v[2] | v[3]) != 0 ? 1 : 0;
}

}  // namespace detail

double cr::invFourthRoot(double x) noexcept {
  std::uint64_t bits = bitsOf(x);
  // Zeros, negatives, infinities and NaN: the sign bit or an exponent field of 0x7ff puts them
  // at or above 0x7fefffffffffffff here, and +0 wraps around.
  if (bits - 1 >= 0x7fefffffffffffffu) {
    if (bits == 0 || bits == 0x8000000000000000u) return std::numeric_limits<double>::infinity();
    if (bits == 0x7ff0000000000000u) return 0.0;
    return std::numeric_limits<double>::quiet_NaN();
  }
  int biased = static_cast<int>(bits >> 52);
  int scaled = 0;
  if (biased == 0) {  // subnormal: scale by 2^64 (exact), taken back out of the exponent
    bits = bitsOf(x * 0x1p64);
    biased = static_cast<int>(bits >> 52);
    scaled = 64;
  }
  const int exponent = biased - 1023 - scaled;
  const int q = exponent >> 2;  // floor(exponent / 4)
  const int k = exponent - 4 * q;
  const std::uint64_t frac = bits & 0x000fffffffffffffu;
  const double scale = std::bit_cast<double>(static_cast<std::uint64_t>(1023 - q) << 52);
  const Approximation a = approximate(frac, k);
  const double below = a.y0 + (a.c - kTestOffset);
  const double above = a.y0 + (a.c + kTestOffset);
  if (below == above) return below * scale;
  const double t = std::bit_cast<double>(frac | (static_cast<std::uint64_t>(1023 + k) << 52));
  return exactPath(t, a.y0 + a.c) * scale;
}

}  // namespace nemra_kernel
