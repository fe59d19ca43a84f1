// World::findNearest takes shortcuts (it skips the arc cosine for entities that cannot win); here
// it is held to the literal search over many random worlds built to contain exact ties, near ties
// a few ulps apart, duplicates, antipodes, zero, tiny, huge, infinite and NaN positions, inactive
// entities and awkward queries.
#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <random>
#include <vector>

#include <gtest/gtest.h>

#include <nemra_ecs/world.hpp>
#include <nemra_kernel/fs_distance.hpp>

namespace {

using nemra_ecs::Entity;
using nemra_ecs::EntityId;
using nemra_ecs::EntityState;
using nemra_ecs::World;
using nemra_kernel::HomVec4;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

// The literal search: one fsDistance per active entity, the first strictly smaller wins.
std::optional<EntityId> literalNearest(const World& world, HomVec4 query) {
  std::optional<EntityId> best;
  double best_distance = 3.141592653589793;
  for (const Entity& e : world.entities) {
    if (!e.isActive()) continue;
    double d = nemra_kernel::fsDistance(query, e.position);
    if (d < best_distance) {
      best_distance = d;
      best = e.id;
    }
  }
  return best;
}

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

TEST(WorldFindNearest, SameChoiceAsTheLiteralSearchOnRandomWorlds) {
  Generator gen(20240611);
  std::size_t compared = 0;
  std::size_t found = 0;
  for (int round = 0; round < 10000; ++round) {
    World world = World::init(nullptr);
    std::vector<HomVec4> positions;
    const std::size_t n = gen.below(round % 10 == 0 ? 400 : 60);
    for (std::size_t i = 0; i < n; ++i) {
      auto id = world.createEntity("e");
      ASSERT_TRUE(id.has_value());
      Entity& e = world.entities.back();
      HomVec4 p = gen.position(positions);
      // Half the time through setPosition (which normalises, or keeps the origin for a point it
      // rejects), otherwise written straight into the field.
      if (gen.below(2) == 0) {
        e.setPosition(p);
      } else {
        e.position = p;
      }
      e.state = gen.state();
      positions.push_back(e.position);
    }
    for (int q = 0; q < 20; ++q) {
      HomVec4 query = gen.query(positions);
      auto expected = literalNearest(world, query);
      auto actual = world.findNearest(query);
      ++compared;
      found += expected.has_value() ? 1U : 0U;
      ASSERT_EQ(actual.has_value(), expected.has_value()) << "round " << round;
      if (expected) {
        ASSERT_EQ(actual->id, expected->id) << "round " << round << " query " << query.x << ' '
                                            << query.y << ' ' << query.z << ' ' << query.w;
      }
    }
  }
  EXPECT_GT(found, compared / 2);  // the worlds are not mostly empty
}

// Many entities whose cosines to the query differ by less than any shortcut margin, in both
// orders: only exact distances can decide these.
TEST(WorldFindNearest, NearTiesAreDecidedByExactDistances) {
  Generator gen(77);
  for (int round = 0; round < 500; ++round) {
    World world = World::init(nullptr);
    const HomVec4 centre = gen.gaussian();
    const std::size_t n = 2 + gen.below(80);
    for (std::size_t i = 0; i < n; ++i) {
      ASSERT_TRUE(world.createEntity("e"));
      HomVec4 p = centre;
      for (std::size_t k = gen.below(4); k > 0; --k) p = gen.nudged(p);
      world.entities.back().position = gen.below(3) == 0 ? p : gen.scaled(p, -2.0);
    }
    for (int q = 0; q < 10; ++q) {
      HomVec4 query = q == 0 ? centre : gen.nudged(centre);
      if (q > 5) query = gen.gaussian();
      auto expected = literalNearest(world, query);
      auto actual = world.findNearest(query);
      ASSERT_TRUE(expected && actual);
      ASSERT_EQ(actual->id, expected->id) << "round " << round;
    }
  }
}

// The search screens records in groups of four and reads a record's state only when the screen
// keeps it. Here the one entity at the query sits in every slot of every group, with an inactive
// entity at the query just before it, an untrusted (NaN, zero or overflowing) one somewhere
// else, and the worlds' sizes cover every remainder modulo four: the inactive one must never win,
// and the winner must be found in whichever slot it lands.
TEST(WorldFindNearest, WinnerIsFoundInEverySlotOfTheScan) {
  Generator gen(4096);
  const HomVec4 untrusted[] = {HomVec4::init(kNaN, 0, 0, 1), HomVec4::zero(),
                               HomVec4::init(1e200, 1e200, 0, 0)};
  for (std::size_t n = 2; n <= 90; ++n) {
    for (std::size_t winner = 1; winner < n; ++winner) {
      World world = World::init(nullptr);
      const HomVec4 query = gen.gaussian();
      for (std::size_t i = 0; i < n; ++i) {
        ASSERT_TRUE(world.createEntity("e"));
        world.entities.back().position = gen.gaussian();
      }
      world.entities[winner].position = gen.scaled(query, -2.0);
      world.entities[winner - 1].position = query;
      world.entities[winner - 1].state = EntityState::deactivating;
      const std::size_t odd = gen.below(n);
      const bool odd_is_untrusted = odd != winner && odd != winner - 1;
      if (odd_is_untrusted) world.entities[odd].position = untrusted[gen.below(3)];
      auto expected = literalNearest(world, query);
      auto actual = world.findNearest(query);
      ASSERT_TRUE(expected && actual);
      ASSERT_EQ(actual->id, expected->id) << "n " << n << " winner " << winner;
      // Without an untrusted entity (which is at distance 0) the entity at the query's point is
      // the choice.
      if (!odd_is_untrusted) {
        EXPECT_EQ(actual->id, world.entities[winner].id.id) << "n " << n << " winner " << winner;
      }
    }
  }
}

// A world too large to stay in the caches: the prefetching part of the scan makes the same choice.
TEST(WorldFindNearest, SameChoiceOnAWorldLargerThanTheCaches) {
  Generator gen(5);
  World world = World::init(nullptr);
  constexpr std::size_t kCount = 400000;  // about 83 MB of records
  world.entities.reserve(kCount);
  std::vector<HomVec4> positions;
  for (std::size_t i = 0; i < kCount; ++i) {
    ASSERT_TRUE(world.createEntity("e"));
    Entity& e = world.entities.back();
    // Mostly fresh directions, with duplicates, antipodes and near ties of earlier ones mixed in
    // (no zero or NaN position, which would end every search at the first of them).
    const bool repeat = i % 500 == 499;
    const HomVec4 earlier = repeat ? positions[gen.below(positions.size())] : HomVec4::zero();
    switch (repeat ? gen.below(3) : 3) {
      case 0:
        e.position = earlier;
        break;
      case 1:
        e.position = gen.scaled(earlier, -1.0);
        break;
      case 2:
        e.position = gen.nudged(earlier);
        break;
      default:
        e.position = gen.gaussian();
        break;
    }
    e.state = gen.state();
    if (i % 500 == 0) positions.push_back(e.position);
  }
  for (int q = 0; q < 12; ++q) {
    HomVec4 query = gen.query(positions);
    auto expected = literalNearest(world, query);
    auto actual = world.findNearest(query);
    ASSERT_TRUE(expected && actual);
    ASSERT_EQ(actual->id, expected->id) << "query " << q;
  }
}

}  // namespace
