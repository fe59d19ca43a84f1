// Deterministic random inputs for the bit-for-bit comparisons: ordinary values, exact small
// integers and signed zeros (so that products of -0 and cancellations occur), a wide range of
// exponents (overflow, underflow to ±0, subnormals), and non-finite values.
#ifndef NEMRA_KERNEL_TESTS_RANDOM_INPUTS_HPP
#define NEMRA_KERNEL_TESTS_RANDOM_INPUTS_HPP

#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>

namespace ref {

class RandomInputs {
 public:
  explicit RandomInputs(std::uint64_t seed) : rng_(seed) {}

  // Kinds of value, from tame to anything.
  enum class Kind { Moderate, WideRange, Anything };

  Kind pickKind() {
    const auto r = below(10);
    return r < 6 ? Kind::Moderate : r < 8 ? Kind::WideRange : Kind::Anything;
  }

  double value(Kind kind) {
    const auto r = below(100);
    if (r < 40) return uniform(-4.0, 4.0);
    if (r < 60) return static_cast<double>(static_cast<int>(below(7)) - 3);  // -3..3, exact
    if (r < 70) return below(2) ? 0.0 : -0.0;
    if (kind == Kind::Moderate) return uniform(-1.0, 1.0) * 1e-3;
    if (r < 85 || kind == Kind::WideRange) {
      return std::ldexp(uniform(-1.0, 1.0), static_cast<int>(below(1200)) - 600);
    }
    if (r < 92) return special();
    return std::bit_cast<double>(rng_());  // any bit pattern, NaN payloads included
  }

  std::array<double, 16> matrix() {
    const Kind kind = pickKind();
    std::array<double, 16> m{};
    for (double& e : m) e = value(kind);
    return m;
  }

  std::array<double, 4> vector() {
    const Kind kind = pickKind();
    return {value(kind), value(kind), value(kind), value(kind)};
  }

  float valueF(Kind kind) {
    const auto r = below(100);
    if (r < 45) return static_cast<float>(uniform(-4.0, 4.0));
    if (r < 60) return static_cast<float>(static_cast<int>(below(7)) - 3);
    if (r < 70) return below(2) ? 0.0f : -0.0f;
    if (kind == Kind::Moderate) return static_cast<float>(uniform(-1.0, 1.0) * 1e-7);
    if (r < 85 || kind == Kind::WideRange) {
      return std::ldexp(static_cast<float>(uniform(-1.0, 1.0)), static_cast<int>(below(300)) - 150);
    }
    if (r < 92) return static_cast<float>(special());
    return std::bit_cast<float>(static_cast<std::uint32_t>(rng_()));
  }

  std::array<float, 4> vectorF() {
    const Kind kind = pickKind();
    return {valueF(kind), valueF(kind), valueF(kind), valueF(kind)};
  }

  double special() {
    constexpr double inf = std::numeric_limits<double>::infinity();
    constexpr double nan = std::numeric_limits<double>::quiet_NaN();
    constexpr double specials[] = {nan,
                                   -nan,
                                   inf,
                                   -inf,
                                   1e300,
                                   -1e300,
                                   1e-300,
                                   -1e-300,
                                   1e-320,
                                   -1e-320,
                                   1e154,
                                   std::numeric_limits<double>::max(),
                                   std::numeric_limits<double>::min(),
                                   std::numeric_limits<double>::denorm_min()};
    return specials[below(std::size(specials))];
  }

  double uniform(double lo, double hi) {
    return std::uniform_real_distribution<double>(lo, hi)(rng_);
  }
  std::uint64_t below(std::uint64_t n) { return rng_() % n; }
  std::mt19937_64& engine() { return rng_; }

 private:
  std::mt19937_64 rng_;
};

}  // namespace ref

#endif
