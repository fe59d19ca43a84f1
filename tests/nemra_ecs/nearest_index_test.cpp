// World::kNearest and World::withinDistance, and NearestIndex's three queries, held to literal
// scans over random worlds: mixed positions (duplicates, antipodes, near ties, zero, tiny, huge,
// infinite and NaN), clustered worlds (all within 1e-3 radians of one point), worlds of one
// position, and awkward queries and radii. Then the index as an owning snapshot, and out-of-memory
// at every allocation.
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory_resource>
#include <numbers>
#include <random>
#include <span>
#include <vector>

#include <gtest/gtest.h>

#include <nemra_ecs/detail/select_nth.hpp>
#include <nemra_ecs/nemra_ecs.hpp>
#include <nemra_kernel/fs_distance.hpp>

#include "random_worlds.hpp"
#include "support/failing_resource.hpp"

namespace {

using nemra_ecs::Entity;
using nemra_ecs::EntityId;
using nemra_ecs::EntityState;
using nemra_ecs::Error;
using nemra_ecs::NearestIndex;
using nemra_ecs::World;
using nemra_ecs_test::Generator;
using nemra_ecs_test::kInf;
using nemra_ecs_test::kNaN;
using nemra_ecs_test::numbers;
using nemra_kernel::HomVec4;
using nemra_test::FailingResource;

enum class Kind { mixed, clustered, identical, near_ties };

// A unit vector within `angle` radians of the unit vector `centre`.
HomVec4 near(Generator& gen, HomVec4 centre, double angle) {
  const HomVec4 g = gen.gaussian();
  const double s = angle * 0.49 / g.norm();
  return HomVec4::init(centre.x + s * g.x, centre.y + s * g.y, centre.z + s * g.z,
                       centre.w + s * g.w)
      .normalize();
}

World randomWorld(Generator& gen, Kind kind, std::size_t n, HomVec4 centre,
                  std::vector<HomVec4>& positions) {
  World world = World::init(nullptr);
  for (std::size_t i = 0; i < n; ++i) {
    EXPECT_TRUE(world.createEntity("e"));
    Entity& e = world.entities.back();
    HomVec4 p;
    switch (kind) {
      case Kind::mixed:
        p = gen.position(positions);
        break;
      case Kind::clustered:
        p = near(gen, centre, 1e-3);
        break;
      case Kind::identical:
        p = centre;
        break;
      case Kind::near_ties:
        p = gen.nudged(gen.nudged(centre));
        break;
    }
    if (gen.below(4) == 0) p = gen.scaled(p, -1.0);
    if (kind != Kind::mixed || gen.below(2) == 0) {
      e.position = p;
    } else {
      e.setPosition(p);
    }
    e.state = kind == Kind::mixed ? gen.state() : EntityState::active;
    positions.push_back(e.position);
  }
  return world;
}

// Radii around the distance of a random entity (exactly on it, an ulp either side), and others.
double randomRadius(Generator& gen, const World& world, HomVec4 query) {
  const std::size_t pick = gen.below(10);
  if (pick < 5 && !world.entities.empty()) {
    const double d =
        nemra_kernel::fsDistance(query, world.entities[gen.below(world.entities.size())].position);
    if (pick == 0) return std::nextafter(d, kInf);
    if (pick == 1) return std::nextafter(d, -kInf);
    return d;
  }
  const double others[] = {0.0, -1.0, kNaN, std::numbers::pi / 2, kInf, 1e-9, 0.05, 0.3};
  return others[gen.below(std::size(others))];
}

void expectSameAnswers(const World& world, const NearestIndex& index, Generator& gen, HomVec4 query,
                       const char* where) {
  const auto expected_nearest = nemra_ecs_test::literalNearest(world, query);
  ASSERT_EQ(index.nearest(query), expected_nearest) << where;

  // The world's scan and the index both give what the literal scan gives.
  const auto expect_both = [&](const auto& ask, const std::vector<std::uint64_t>& expected,
                               const ::testing::Message& what) {
    const auto from_world = ask(world);
    const auto from_index = ask(index);
    ASSERT_TRUE(from_world && from_index) << where << what;
    ASSERT_EQ(numbers(*from_world), expected) << where << what;
    ASSERT_EQ(numbers(*from_index), expected) << where << what;
  };
  const std::size_t ks[] = {0, 1, 2, 3, 16, world.entities.size() + 2};
  const std::size_t k = ks[gen.below(std::size(ks))];
  expect_both([&](const auto& s) { return s.kNearest(query, k, nullptr); },
              nemra_ecs_test::literalKNearest(world, query, k), ::testing::Message() << " k " << k);
  const double radius = randomRadius(gen, world, query);
  expect_both([&](const auto& s) { return s.withinDistance(query, radius, nullptr); },
              nemra_ecs_test::literalWithin(world, query, radius),
              ::testing::Message() << " radius " << radius);
}

TEST(NearestQueries, SameAnswersAsLiteralScansOnRandomWorlds) {
  Generator gen(31337);
  std::size_t nonempty = 0;
  for (int round = 0; round < 3000; ++round) {
    const Kind kind = static_cast<Kind>(round % 4);
    const std::size_t n = gen.below(round % 50 == 0 ? 3000 : 200);
    const HomVec4 centre = gen.gaussian().normalize();
    std::vector<HomVec4> positions;
    const World world = randomWorld(gen, kind, n, centre, positions);
    auto index = NearestIndex::build(world, nullptr);
    ASSERT_TRUE(index);
    nonempty += index->size() > 0 ? 1U : 0U;
    for (int q = 0; q < 8; ++q) {
      HomVec4 query = gen.query(positions);
      if (kind != Kind::mixed && q % 2 == 0) query = near(gen, centre, 2e-3);
      ASSERT_NO_FATAL_FAILURE(expectSameAnswers(world, *index, gen, query, "round"))
          << "round " << round << " query " << q;
    }
  }
  EXPECT_GT(nonempty, 2500U);  // mostly worlds with active entities
}

// Deep trees: many entities at random directions (and an untrusted few), many queries.
TEST(NearestQueries, SameAnswersOnALargeWorld) {
  Generator gen(8);
  World world = World::init(nullptr);
  std::vector<HomVec4> positions;
  for (std::size_t i = 0; i < 20000; ++i) {
    ASSERT_TRUE(world.createEntity("e"));
    const HomVec4 p = i % 997 == 0 ? gen.position(positions) : gen.gaussian();
    world.entities.back().setPosition(p);
    if (i % 5000 == 17) world.entities.back().position = HomVec4::init(kNaN, 0, 0, 1);
    if (i % 7 == 0) world.entities.back().deactivate();
    if (i % 100 == 0) positions.push_back(world.entities.back().position);
  }
  auto index = NearestIndex::build(world, nullptr);
  ASSERT_TRUE(index);
  for (int q = 0; q < 120; ++q) {
    ASSERT_NO_FATAL_FAILURE(expectSameAnswers(world, *index, gen, gen.query(positions), "large"))
        << "query " << q;
  }
}

TEST(NearestIndexOwnership, SnapshotMovesAndReleases) {
  FailingResource resource;
  World world = World::init(nullptr);
  for (int i = 0; i < 50; ++i) {
    ASSERT_TRUE(world.createEntity("e"));
    world.entities.back().setPosition(HomVec4::init(1.0, i, 0.5 * i, 2.0));
  }
  const HomVec4 query = HomVec4::init(1.0, 10.1, 5.0, 2.0);
  auto built = NearestIndex::build(world, &resource);
  ASSERT_TRUE(built);
  // Later changes to the world do not reach the snapshot.
  world.entities[10].deactivate();
  ASSERT_TRUE(world.createEntity("late"));
  world.entities.back().position = query;
  NearestIndex index = std::move(*built);
  EXPECT_EQ(index.nearest(query), EntityId::init(11));
  EXPECT_EQ(index.size(), 50U);
  // The moved-from index is empty, not a tree without storage.
  EXPECT_EQ(built->size(), 0U);
  EXPECT_EQ(built->nearest(query), std::nullopt);
  auto moved_from_k = built->kNearest(query, 3, &resource);
  ASSERT_TRUE(moved_from_k);
  EXPECT_TRUE(moved_from_k->empty());

  NearestIndex other = NearestIndex::init(&resource);
  EXPECT_EQ(other.nearest(query), std::nullopt);
  other = std::move(index);
  EXPECT_EQ(other.nearest(query), EntityId::init(11));
  other.deinit();
  EXPECT_EQ(other.nearest(query), std::nullopt);
  EXPECT_EQ(resource.liveBlocks(), 0U);
  EXPECT_EQ(resource.misuses(), 0U);
}

TEST(NearestIndexOwnership, OutOfMemoryAtEveryAllocationOfBuildAndOfEachQuery) {
  Generator gen(99);
  World world = World::init(nullptr);
  std::vector<HomVec4> positions;
  for (int i = 0; i < 300; ++i) {
    ASSERT_TRUE(world.createEntity("e"));
    world.entities.back().position = gen.position(positions);
    positions.push_back(world.entities.back().position);
  }
  const HomVec4 query = gen.gaussian();
  const std::vector<std::uint64_t> want_k = nemra_ecs_test::literalKNearest(world, query, 40);
  const std::vector<std::uint64_t> want_within = nemra_ecs_test::literalWithin(world, query, 1.0);
  ASSERT_GT(want_within.size(), 20U);  // several growth steps

  FailingResource resource;
  std::size_t failures = 0;
  for (std::size_t k = 0;; ++k) {
    resource.failAllocation(k);
    auto index = NearestIndex::build(world, &resource);
    if (index) {
      resource.succeedAll();
      break;
    }
    ++failures;
    EXPECT_EQ(index.error(), Error::OutOfMemory);
    EXPECT_EQ(resource.liveBlocks(), 0U) << "allocation " << k;
  }
  EXPECT_GE(failures, 4U);
  auto index = NearestIndex::build(world, &resource);
  ASSERT_TRUE(index);

  // Each query, on the world and on the index, fails at each of its allocations in turn.
  using Call = std::expected<std::pmr::vector<EntityId>, Error> (*)(
      const World&, const NearestIndex&, HomVec4, std::pmr::memory_resource*);
  const Call calls[] = {
      [](const World& w, const NearestIndex&, HomVec4 q, std::pmr::memory_resource* r) {
        return w.kNearest(q, 40, r);
      },
      [](const World&, const NearestIndex& x, HomVec4 q, std::pmr::memory_resource* r) {
        return x.kNearest(q, 40, r);
      },
      [](const World& w, const NearestIndex&, HomVec4 q, std::pmr::memory_resource* r) {
        return w.withinDistance(q, 1.0, r);
      },
      [](const World&, const NearestIndex& x, HomVec4 q, std::pmr::memory_resource* r) {
        return x.withinDistance(q, 1.0, r);
      },
  };
  for (std::size_t c = 0; c < std::size(calls); ++c) {
    FailingResource out;
    std::size_t call_failures = 0;
    for (std::size_t k = 0;; ++k) {
      out.failAllocation(k);
      auto got = calls[c](world, *index, query, &out);
      if (got) {
        EXPECT_EQ(numbers(*got), c < 2 ? want_k : want_within) << "call " << c;
        break;
      }
      ++call_failures;
      EXPECT_EQ(got.error(), Error::OutOfMemory);
      EXPECT_EQ(out.liveBlocks(), 0U) << "call " << c << " allocation " << k;
    }
    EXPECT_GE(call_failures, c < 2 ? 2U : 3U) << "call " << c;
    EXPECT_EQ(out.misuses(), 0U);
  }
  index->deinit();
  EXPECT_EQ(resource.liveBlocks(), 0U);
  EXPECT_EQ(resource.misuses(), 0U);
}

// The selection the index halves its entries with, against a sort of the same keys: the nth key
// in place, none larger before it nor smaller after it, the items a permutation and those outside
// the range untouched; on random keys, few distinct ones, all equal, sorted, reversed and organ
// pipe, at every nth of short ranges and at several of long ones.
TEST(SelectNth, PutsTheNthOfTheSortedKeysInPlace) {
  struct Item {
    float key;
    std::uint32_t id;
  };
  std::mt19937 rng(17);
  const auto shaped = [&](std::size_t n, std::size_t shape) {
    std::vector<Item> items(n);
    for (std::size_t i = 0; i < n; ++i) {
      const auto x = static_cast<float>(i);
      const float keys[] = {
          static_cast<float>(rng() % 1000),      static_cast<float>(rng() % 3), 1.0f, x, -x,
          std::min(x, static_cast<float>(n) - x)};
      items[i] = Item{keys[shape], static_cast<std::uint32_t>(i)};
    }
    return items;
  };
  const auto check = [](std::vector<Item> items, std::size_t begin, std::size_t nth,
                        std::size_t end) {
    const std::vector<Item> before = items;
    std::vector<float> sorted;
    for (std::size_t i = begin; i < end; ++i) sorted.push_back(items[i].key);
    std::sort(sorted.begin(), sorted.end());
    nemra_ecs::detail::selectNth(std::span(items), begin, nth, end,
                                 [](const Item& item) { return item.key; });
    ASSERT_EQ(items[nth].key, sorted[nth - begin]);
    for (std::size_t i = begin; i < end; ++i) {
      ASSERT_TRUE(i < nth ? items[i].key <= items[nth].key : items[i].key >= items[nth].key) << i;
    }
    std::vector<std::uint32_t> ids, want;
    for (std::size_t i = 0; i < items.size(); ++i) {
      if (i < begin || i >= end) {
        ASSERT_EQ(items[i].id, before[i].id);
      } else {
        ids.push_back(items[i].id);
        want.push_back(before[i].id);
      }
    }
    std::sort(ids.begin(), ids.end());
    std::sort(want.begin(), want.end());
    ASSERT_EQ(ids, want);
  };
  for (std::size_t shape = 0; shape < 6; ++shape) {
    for (std::size_t n = 1; n <= 40; ++n) {
      for (std::size_t nth = 0; nth < n; ++nth) {
        ASSERT_NO_FATAL_FAILURE(check(shaped(n + 2, shape), 1, 1 + nth, 1 + n)) << shape;
      }
    }
    for (const std::size_t n : {std::size_t{1000}, std::size_t{4099}}) {
      for (const std::size_t nth : {std::size_t{0}, n / 3, n / 2, n - 1}) {
        ASSERT_NO_FATAL_FAILURE(check(shaped(n, shape), 0, nth, n)) << shape << " " << n;
      }
    }
  }
}

}  // namespace
