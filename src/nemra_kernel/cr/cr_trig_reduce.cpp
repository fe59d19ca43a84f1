// The tables and the exact path of the correctly rounded sin, cos and tan, and the reduction of
// large arguments.
#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>

#include <nemra_kernel/cr/detail/cr_sin_table.hpp>
#include <nemra_kernel/cr/detail/cr_trig.hpp>

namespace nemra_kernel::detail {

namespace {

constexpr std::array<TrigEntry, 1024> fullTable() {
  std::array<TrigEntry, 1024> t{};
  for (int j = 0; j < 1024; ++j) {
    const int i = j % 256, q = j / 256;
    const double* e = kSinQuarter[(q & 1) != 0 ? 256 - i : i];
    const double sign = (q & 2) != 0 ? -1.0 : 1.0;
    const double hi = sign * e[0], lo = sign * e[1], hh = sign * e[2];
    t[static_cast<std::size_t>(j)] = {hi, lo, hh, (hi - hh) + lo};
  }
  return t;
}

}  // namespace

alignas(64) constinit const std::array<TrigEntry, 1024> kSinTable = fullTable();

const std::uint64_t kTwoOverPi[kTwoOverPiWords] = {
    0xA2F9836E4E441529u, 0xFC2757D1F534DDC0u, 0xDB6295993C439041u, 0xFE5163ABDEBBC561u,
    0xB7246E3A424DD2E0u, 0x06492EEA09D1921Cu, 0xFE1DEB1CB129A73Eu, 0xE88235F52EBB4484u,
    0xE99C7026B45F7E41u, 0x3991D639835339F4u, 0x9C845F8BBDF9283Bu, 0x1FF897FFDE05980Fu,
    0xEF2F118B5A0A6D1Fu, 0x6D367ECF27CB09B7u, 0x4F463F669E5FEA2Du, 0x7527BAC7EBE5F17Bu,
    0x3D0739F78A5292EAu, 0x6BFB5FB11F8D5D08u, 0x56033046FC7B6BABu, 0xF0CFBC209AF4361Du,
    0xA9E391615EE61B08u, 0x6599855F14A06840u, 0x8DFFD8804D732731u, 0x06061556CA73A8C9u,
    0x60E27BC08C6B47C4u, 0x19C367CDDCE8092Au, 0x8359C4768B961CA6u, 0xDDAF44D15719053Eu,
    0xA5FF07053F7E33E8u, 0x32C2DE4F98327DBBu, 0xC33D26EF6B1E5EF8u, 0x9F3A1F35CAF27F1Du,
    0x87F121907C7C246Au, 0xFA6ED5772D30433Bu,
};

const std::uint64_t kHalfPi[16] = {
    0x0000000000000001u, 0x921FB54442D18469u, 0x898CC51701B839A2u, 0x52049C1114CF98E8u,
    0x04177D4C76273644u, 0xA29410F31C6809BBu, 0xDF2A33679A748636u, 0x605614DBE4BE286Eu,
    0x9FC26ADADAA3848Bu, 0xC90B6AECC4BCFD8Du, 0xE89885D34C6FDAD6u, 0x17FEB96DE80D6FDBu,
    0xDC70D7F6B5133F4Bu, 0x5D3E4822F8963FCCu, 0x9250CCA3D9C8B67Bu, 0x8400F97142C77E0Bu,
};

// |x| >= 2^14: y = x * 512/pi from the 53-bit significand times the bits of 2/pi that matter
// (those that make y mod 1024 and 128 bits of its fraction), in integers: y's fraction is off by
// less than 2^-127. The fraction f, rounded so |f| <= 1/2, goes to double-double through a
// normalised 106-bit cut (2^-105 relative), and r = f * pi/512 in double-double (2^-104).
TrigReduced reduceLarge(double ax) noexcept {
  const auto bits = std::bit_cast<std::uint64_t>(ax);
  const std::uint64_t m = (bits & ((std::uint64_t{1} << 52) - 1)) | (std::uint64_t{1} << 52);
  const int e = static_cast<int>(bits >> 52) - 1075;
  const Fixed<3> y = scaledTwoOverPi<3>(m, e + 8);
  auto n = static_cast<std::uint32_t>(y.w[2]);
  U128 frac = (static_cast<U128>(y.w[1]) << 64) | y.w[0];
  bool negative = false;
  if ((y.w[1] >> 63) != 0) {
    ++n;
    frac = -frac;
    negative = true;
  }
  if (frac == 0) return {n, 0.0, 0.0, 1.0};  // never for a double; the exact path decides
  const auto top = static_cast<std::uint64_t>(frac >> 64);
  const int z =
      top != 0 ? std::countl_zero(top) : 64 + std::countl_zero(static_cast<std::uint64_t>(frac));
  const U128 mm = frac << z;
  const auto t = static_cast<std::uint64_t>(mm >> 64);
  const auto b = static_cast<std::uint64_t>(mm);
  const double fh = static_cast<double>(t >> 11) * pow2(-53 - z);
  const double fl = static_cast<double>(((t & 0x7FF) << 42) | (b >> 22)) * pow2(-106 - z);
  const DoubleDouble p = twoProd(fh, kPiOver512Hi);
  const DoubleDouble r = fastTwoSum(p.hi, p.lo + (fh * kPiOver512Lo + fl * kPiOver512Hi));
  if (negative) return {n, -r.hi, -r.lo, 0x1p-134};
  return {n, r.hi, r.lo, 0x1p-134};
}

namespace {

[[nodiscard]] double nextUp(double y) noexcept {
  const auto b = std::bit_cast<std::uint64_t>(y);
  if (y == 0.0) return 0x1p-1074;
  return std::bit_cast<double>(y > 0.0 ? b + 1 : b - 1);
}

[[nodiscard]] double nextDown(double y) noexcept { return -nextUp(-y); }

// Whether tan = 2^-scale num/den (den > 0, both within err units) lies above (+1) or below (-1)
// the midpoint between y and its neighbour in direction dir; 0 when undecided at this precision.
template <int N>
[[nodiscard]] int sideOfMidpoint(const Fixed<N>& num, const Fixed<N>& den, std::uint64_t err,
                                 double y, int dir, int scale) noexcept {
  const double neighbour = dir > 0 ? nextUp(y) : nextDown(y);
  // The midpoint times 2^scale, the scale of num/den (exact: |scale| <= 62, y normal).
  const double sy = y * pow2(scale);
  const double half = (neighbour - y) * 0.5 * pow2(scale);
  if (!(sy < 0x1p62 && sy > -0x1p62)) return 0;
  bool exact_y = false, exact_h = false;
  const Fixed<N> mid = Fixed<N>::fromDouble(sy, &exact_y) + Fixed<N>::fromDouble(half, &exact_h);
  if (!exact_y || !exact_h) return 0;
  // num - mid*den: err from num, |mid| err from den, one unit from the truncated product.
  const double amid = sy < 0.0 ? -sy : sy;
  const U128 bound = static_cast<U128>(err) * (static_cast<std::uint64_t>(amid) + 3) + err + 1;
  if (bound >= (U128{1} << 62)) return 0;
  return signWithin(num - mid.mul(den), static_cast<std::uint64_t>(bound));
}

}  // namespace

// x = ax * (2/pi) reduced modulo 4 to the nearest quarter turn q and f in [-1/2, 1/2]; r =
// f * pi/2. Errors in units: y is low by less than 2, pi/2 is truncated (|f| <= 1/2 of a unit)
// and the product truncated (1): r is within 2 pi/2 + 1.5 < 5 units, and so are sin r and cos r
// (both 1-Lipschitz) apart from the series' own error.
template <int N>
bool trigExact(double ax, int fn, double* out) noexcept {
  const auto bits = std::bit_cast<std::uint64_t>(ax);
  const std::uint64_t m = (bits & ((std::uint64_t{1} << 52) - 1)) | (std::uint64_t{1} << 52);
  const int e = static_cast<int>(bits >> 52) - 1075;
  Fixed<N> y = scaledTwoOverPi<N>(m, e);
  std::uint64_t q = y.w[N - 1];
  const bool up = (y.w[N - 2] >> 63) != 0;
  if (up) ++q;
  // A remainder f = y - q with leading zero bits keeps fewer significant bits in N limbs: then y
  // is taken again times 2^s, |f| 2^s < 1/4 (8 <= s <= 62, and within the bits of 2/pi the
  // table holds), so that r, sin r and tan r are carried times 2^s (cos r as it is).
  int s = 0;
  {
    std::uint64_t top = up ? ~y.w[N - 2] : y.w[N - 2];
    int lz = std::countl_zero(top);
    for (int i = N - 3; i >= 0 && top == 0; --i) {
      top = up ? ~y.w[i] : y.w[i];
      lz += std::countl_zero(top);
    }
    s = lz - 2 < 62 ? lz - 2 : 62;
    if (s > 971 - e) s = 971 - e;
    if (s >= 8)  // below, the bits won are not worth a second product
      y = scaledTwoOverPi<N>(m, e + s);
    else
      s = 0;
  }
  y.w[N - 1] -= q << s;  // f 2^s, whose integer part is 0 or -1
  const Fixed<N> r = y.mul(Fixed<N>::fromLimbsMsbFirst(kHalfPi));
  q &= 3;
  if (fn != 2) {
    // sin or cos of x is +-sin r or +-cos r by the quarter: only that series is summed.
    const std::uint64_t k = (q + static_cast<std::uint64_t>(fn)) & 3;
    const bool odd = (k & 1) == 0;
    Fixed<N> v;
    const std::uint64_t err = taylorSinOrCos(r, odd, &v, s) + 5;
    if ((k & 2) != 0) v = v.neg();
    const double unscale = pow2(odd ? -s : 0);
    *out = v.toDouble() * unscale;
    if (!roundWithin(v, err, out)) return false;
    *out *= unscale;  // exact, the result being normal
    return true;
  }
  Fixed<N> sn, c;
  const std::uint64_t err = sinCosSeries(r, &sn, &c, s) + 5;
  Fixed<N> num = (q & 1) != 0 ? c.neg() : sn;
  Fixed<N> den = (q & 1) != 0 ? sn : c;
  const int scale = (q & 1) != 0 ? -s : s;  // num/den = tan x times 2^scale
  if (den.isNegative()) {
    num = num.neg();
    den = den.neg();
  }
  if (signWithin(den, err) <= 0) return false;
  double t = num.toDouble() / den.toDouble() * pow2(-scale);
  *out = t;
  for (int iter = 0; iter < 16; ++iter) {
    const int up_side = sideOfMidpoint(num, den, err, t, 1, scale);
    if (up_side == 0) return false;
    if (up_side > 0) {
      t = nextUp(t);
      continue;
    }
    const int down = sideOfMidpoint(num, den, err, t, -1, scale);
    if (down == 0) return false;
    if (down < 0) {
      t = nextDown(t);
      continue;
    }
    *out = t;
    return true;
  }
  return false;
}

// Ziv's strategy: 128, 256, 512 and 960 fraction bits. sin, cos and tan of a non-zero double are
// never a double nor a midpoint, so some precision decides; the hardest doubles need about 120
// bits beyond the result's 53, so the first or second level decides in practice and the last
// one's result is returned as it is.
double trigSlow(double ax, int fn) noexcept {
  double out = 0.0;
  if (trigExact<3>(ax, fn, &out)) return out;
  if (trigExact<5>(ax, fn, &out)) return out;
  if (trigExact<9>(ax, fn, &out)) return out;
  (void)trigExact<16>(ax, fn, &out);
  return out;
}

bool trigExactForTest(double ax, int fn, int limbs, double* out) noexcept {
  switch (limbs) {
    case 3:
      return trigExact<3>(ax, fn, out);
    case 5:
      return trigExact<5>(ax, fn, out);
    case 9:
      return trigExact<9>(ax, fn, out);
    default:
      return trigExact<16>(ax, fn, out);
  }
}

}  // namespace nemra_kernel::detail
