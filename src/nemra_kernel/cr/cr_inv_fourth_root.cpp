// cr::invFourthRoot: x^(-1/4) correctly rounded to nearest. x = t 2^(4q), t in [1, 16): a start
// from the table kCentres and a cubic, rounded to 28 bits, one correction from r = 1 - t y0^4 taken
// exactly in integers, within 2^-77 absolute on t^(-1/4) (kInvFourthRootFastBound); a rounding
// test; and an exact path in 320-bit integers. The derivation: docs/cr_math.md, section
// "invFourthRoot".
#include <bit>
#include <cstdint>
#include <limits>

#include <nemra_kernel/cr/detail/cr_inv_fourth_root.hpp>
#include <nemra_kernel/cr_math.hpp>

namespace nemra_kernel {
namespace {

__extension__ typedef unsigned __int128 u128;  // GCC and clang on 64-bit targets
__extension__ typedef __int128 i128;

struct Centre {
  double inverse;  // 1 / c_j
  double root;     // c_j^(-1/4)
};

// c_j = 1 + (2j + 1)/128, j = 0..63.
constexpr Centre kCentres[64] = {
    {0x1.fc07f01fc07f0p-1, 0x1.ff013e2306db0p-1}, {0x1.f44659e4a4271p-1, 0x1.fd0b0e51fa9e9p-1},
    {0x1.ecc07b301ecc0p-1, 0x1.fb1e5cd328173p-1}, {0x1.e573ac901e574p-1, 0x1.f93ad82f00e7fp-1},
    {0x1.de5d6e3f8868ap-1, 0x1.f76032d0f74bdp-1}, {0x1.d77b654b82c34p-1, 0x1.f58e22ca50089p-1},
    {0x1.d0cb58f6ec074p-1, 0x1.f3c46199890a2p-1}, {0x1.ca4b3055ee191p-1, 0x1.f202abf5ed976p-1},
    {0x1.c3f8f01c3f8f0p-1, 0x1.f048c19efb6fdp-1}, {0x1.bdd2b899406f7p-1, 0x1.ee96652f45500p-1},
    {0x1.b7d6c3dda338bp-1, 0x1.eceb5bf287874p-1}, {0x1.b2036406c80d9p-1, 0x1.eb476dbeaa8e6p-1},
    {0x1.ac5701ac5701bp-1, 0x1.e9aa64cf7609fp-1}, {0x1.a6d01a6d01a6dp-1, 0x1.e8140da4bc6dbp-1},
    {0x1.a16d3f97a4b02p-1, 0x1.e68436e2cca41p-1}, {0x1.9c2d14ee4a102p-1, 0x1.e4fab134fbbf1p-1},
    {0x1.970e4f80cb872p-1, 0x1.e3774f321ce2ap-1}, {0x1.920fb49d0e229p-1, 0x1.e1f9e542c153ep-1},
    {0x1.8d3018d3018d3p-1, 0x1.e08249891df5bp-1}, {0x1.886e5f0abb04ap-1, 0x1.df1053ca7682bp-1},
    {0x1.83c977ab2beddp-1, 0x1.dda3dd59f18fbp-1}, {0x1.7f405fd017f40p-1, 0x1.dc3cc104bad81p-1},
    {0x1.7ad2208e0ecc3p-1, 0x1.dadadaff5b92bp-1}, {0x1.767dce434a9b1p-1, 0x1.d97e08d432902p-1},
    {0x1.724287f46debcp-1, 0x1.d8262952f7b9cp-1}, {0x1.6e1f76b4337c7p-1, 0x1.d6d31c813830ep-1},
    {0x1.6a13cd1537290p-1, 0x1.d584c38bb9d01p-1}, {0x1.661ec6a5122f9p-1, 0x1.d43b00b8b62f7p-1},
    {0x1.623fa77016240p-1, 0x1.d2f5b75ade8cfp-1}, {0x1.5e75bb8d015e7p-1, 0x1.d1b4cbc51b1cfp-1},
    {0x1.5ac056b015ac0p-1, 0x1.d078233ef9517p-1}, {0x1.571ed3c506b3ap-1, 0x1.cf3fa3f9bd97ep-1},
    {0x1.5390948f40febp-1, 0x1.ce0b35060dee8p-1}, {0x1.5015015015015p-1, 0x1.ccdabe4a2b78ep-1},
    {0x1.4cab88725af6ep-1, 0x1.cbae2878b1fa0p-1}, {0x1.49539e3b2d067p-1, 0x1.ca855d07d4c15p-1},
    {0x1.460cbc7f5cf9ap-1, 0x1.c96046291135cp-1}, {0x1.42d6625d51f87p-1, 0x1.c83ecec14fbb3p-1},
    {0x1.3fb013fb013fbp-1, 0x1.c720e2616c2fap-1}, {0x1.3c995a47babe7p-1, 0x1.c6066d3f1fb98p-1},
    {0x1.3991c2c187f63p-1, 0x1.c4ef5c2e46107p-1}, {0x1.3698df3de0748p-1, 0x1.c3db9c9a78ce5p-1},
    {0x1.33ae45b57bcb2p-1, 0x1.c2cb1c80fbb96p-1}, {0x1.30d190130d190p-1, 0x1.c1bdca6af54c9p-1},
    {0x1.2e025c04b8097p-1, 0x1.c0b39567ef16cp-1}, {0x1.2b404ad012b40p-1, 0x1.bfac6d0899d2ep-1},
    {0x1.288b01288b013p-1, 0x1.bea84159d1611p-1}, {0x1.25e22708092f1p-1, 0x1.bda702dfdd09bp-1},
    {0x1.23456789abcdfp-1, 0x1.bca8a291e8ad2p-1}, {0x1.20b470c67c0d9p-1, 0x1.bbad11d5b3bb5p-1},
    {0x1.1e2ef3b3fb874p-1, 0x1.bab4427b73014p-1}, {0x1.1bb4a4046ed29p-1, 0x1.b9be26b9e28a6p-1},
    {0x1.19453808ca29cp-1, 0x1.b8cab12a84fdfp-1}, {0x1.16e0689427379p-1, 0x1.b7d9d4c60e0ccp-1},
    {0x1.1485f0e0acd3bp-1, 0x1.b6eb84e0f5a67p-1}, {0x1.12358e75d3033p-1, 0x1.b5ffb52831d3dp-1},
    {0x1.0fef010fef011p-1, 0x1.b516599e1532cp-1}, {0x1.0db20a88f4696p-1, 0x1.b42f6697502f7p-1},
    {0x1.0b7e6ec259dc8p-1, 0x1.b34ad0b813353p-1}, {0x1.0953f39010954p-1, 0x1.b2688cf15028dp-1},
    {0x1.073260a47f7c6p-1, 0x1.b188907e199a6p-1}, {0x1.05197f7d73404p-1, 0x1.b0aad0e11e319p-1},
    {0x1.03091b51f5e1ap-1, 0x1.afcf43e23eef5p-1}, {0x1.0101010101010p-1, 0x1.aef5df8c3ef22p-1},
};

// 2^(-k/4), k = 0..3.
constexpr double kQuarterPowers[4] = {1.0, 0x1.ae89f995ad3adp-1, 0x1.6a09e667f3bcdp-1,
                                      0x1.306fe0a31b715p-1};

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
  const Centre& centre = kCentres[j];
  const double v = (m - static_cast<double>(2 * j + 129) * 0x1p-7) * centre.inverse;
  const double series = 1.0 + v * (-0.25 + v * (0.15625 - v * 0.1171875));
  const double z0 = (centre.root * kQuarterPowers[k]) * series;

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
