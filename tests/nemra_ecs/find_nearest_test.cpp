// World::findNearest takes shortcuts (it skips the arc cosine for entities that cannot win); here
// it is held to the literal search over many random worlds built to contain exact ties, near ties
// a few ulps apart, duplicates, antipodes, zero, tiny, huge, infinite and NaN positions, inactive
// entities and awkward queries.
#include <cstddef>
#include <vector>

#include <gtest/gtest.h>

#include <nemra_ecs/world.hpp>
#include <nemra_kernel/fs_distance.hpp>

#include "random_worlds.hpp"

namespace {

using nemra_ecs::Entity;
using nemra_ecs::EntityId;
using nemra_ecs::EntityState;
using nemra_ecs::World;
using nemra_kernel::HomVec4;

using nemra_ecs_test::Generator;
using nemra_ecs_test::literalNearest;

constexpr double kNaN = nemra_ecs_test::kNaN;

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
