// Random worlds for the distance queries' tests. The literal scans their answers are held to are
// tests/support/literal_scans.hpp's, shared with the benchmarks.
#ifndef NEMRA_TESTS_ECS_RANDOM_WORLDS_HPP
#define NEMRA_TESTS_ECS_RANDOM_WORLDS_HPP

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <random>
#include <utility>
#include <vector>

#include <nemra_ecs/world.hpp>
#include <nemra_kernel/fs_distance.hpp>

#include "support/literal_scans.hpp"

namespace nemra_ecs_test {

using nemra_ecs::Entity;
using nemra_ecs::EntityId;
using nemra_ecs::EntityState;
using nemra_ecs::World;
using nemra_kernel::HomVec4;

using nemra_test::everyEntity;
using nemra_test::literalDistances;
using nemra_test::literalKNearest;
using nemra_test::literalNearest;
using nemra_test::literalWithin;

inline constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
inline constexpr double kInf = std::numeric_limits<double>::infinity();

class Generator {
 public:
  explicit Generator(std::uint64_t seed) : rng_(seed) {}

  std::size_t below(std::size_t n) {
    return std::uniform_int_distribution<std::size_t>(0, n - 1)(rng_);
  }
  double normal() { return normal_(rng_); }
  HomVec4 gaussian() { return HomVec4::init(normal(), normal(), normal(), normal()); }
  HomVec4 lattice() {
    auto c = [&] { return static_cast<double>(below(3)) - 1.0; };
    return HomVec4::init(c(), c(), c(), c());
  }
  // `v` with one component moved by a few ulps: a near tie.
  HomVec4 nudged(HomVec4 v) {
    double* c[] = {&v.x, &v.y, &v.z, &v.w};
    double& target = *c[below(4)];
    for (std::size_t steps = 1 + below(3); steps > 0; --steps) {
      target = std::nextafter(target, below(2) == 0 ? kInf : -kInf);
    }
    return v;
  }
  HomVec4 scaled(HomVec4 v, double s) { return HomVec4::init(v.x * s, v.y * s, v.z * s, v.w * s); }

  // A position for the next entity; `earlier` holds those already placed.
  HomVec4 position(const std::vector<HomVec4>& earlier) {
    std::size_t kind = below(16);
    if (earlier.empty() && kind < 6) kind = 6;
    HomVec4 base = earlier.empty() ? gaussian() : earlier[below(earlier.size())];
    switch (kind) {
      case 0:
        return base;  // duplicate
      case 1:
        return scaled(base, -1.0);  // antipode: the same point
      case 2:
        return scaled(base, 3.0);  // a multiple: the same point up to rounding
      case 3:
      case 4:
        return nudged(base);  // a near tie
      case 5:
        return nudged(nudged(base));
      case 6:
      case 7:
        return lattice();  // exact ties among few directions
      case 8:
        return HomVec4::zero();
      case 9:
        return scaled(gaussian(), 1e-16);  // under the zero guard
      case 10:
        return HomVec4::init(normal(), kNaN, normal(), normal());
      case 11:
        return HomVec4::init(kInf, normal(), 0, normal());
      case 12:
        return scaled(gaussian(), 1e160);  // length overflows
      case 13:
        return scaled(gaussian(), 1e-14);  // small but valid
      default:
        return gaussian();
    }
  }

  EntityState state() {
    switch (below(10)) {
      case 0:
        return EntityState::deactivating;
      case 1:
        return static_cast<EntityState>(below(5));
      default:
        return EntityState::active;
    }
  }

  HomVec4 query(const std::vector<HomVec4>& positions) {
    switch (below(12)) {
      case 0:
        return HomVec4::zero();
      case 1:
        return HomVec4::init(kNaN, 1, 0, 0);
      case 2:
        return HomVec4::init(0, 1, kInf, 0);
      case 3:
        return scaled(gaussian(), 1e120);  // beyond the trusted range of the shortcut
      case 4:
        return scaled(gaussian(), 1e-15);  // at the zero guard
      case 5:
        return scaled(gaussian(), 1e-13);
      case 6:
        return lattice();
      case 7:
      case 8:
        if (!positions.empty()) return nudged(positions[below(positions.size())]);
        return gaussian();
      case 9:
        if (!positions.empty()) return positions[below(positions.size())];
        return gaussian();
      default:
        return gaussian();
    }
  }

 private:
  std::mt19937_64 rng_;
  std::normal_distribution<double> normal_;
};

// The numbers of a query's ids, for comparing with a literal scan's.
inline std::vector<std::uint64_t> numbers(const std::pmr::vector<nemra_ecs::EntityId>& ids) {
  std::vector<std::uint64_t> out;
  for (nemra_ecs::EntityId id : ids) out.push_back(id.id);
  return out;
}

}  // namespace nemra_ecs_test

#endif
