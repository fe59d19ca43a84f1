// NearestIndex kept current while a world changes: random small moves, jumps, creations and state
// changes, synced through refit, through update and erase one at a time, or through the batch
// update, and filtered queries on the index and the world held to the literal scans after every
// step. Then out-of-memory in each upkeep call.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <memory_resource>
#include <numbers>
#include <vector>

#include <gtest/gtest.h>

#include <nemra_ecs/nemra_ecs.hpp>

#include "random_worlds.hpp"
#include "support/failing_resource.hpp"

namespace {

using nemra_ecs::Entity;
using nemra_ecs::EntityId;
using nemra_ecs::EntityState;
using nemra_ecs::Error;
using nemra_ecs::NearestFilter;
using nemra_ecs::NearestIndex;
using nemra_ecs::World;
using nemra_ecs_test::Generator;
using nemra_ecs_test::numbers;
using nemra_kernel::HomVec4;
using nemra_test::FailingResource;

// Keeps the entities of one team (id mod teams). With `held`, it is asked only about entities the
// index holds (never a gap's id 0).
struct Team {
  std::uint64_t teams;
  std::uint64_t team;
  const NearestIndex* held = nullptr;
  bool operator()(EntityId id) const {
    EXPECT_TRUE(held == nullptr || held->contains(id)) << id.id;
    return id.id % teams == team;
  }
};

// A point near the affine point (x, y, z) of a box of side 200: the scale of positions in a game.
HomVec4 inBox(Generator& gen) {
  return HomVec4::init(gen.normal() * 60.0, gen.normal() * 60.0, gen.normal() * 60.0, 1.0);
}

void expectSameAnswers(const World& world, const NearestIndex& index, Generator& gen,
                       const std::vector<HomVec4>& seen) {
  std::size_t active = 0;
  for (const Entity& e : world.entities) active += e.isActive() ? 1U : 0U;
  ASSERT_EQ(index.size(), active);
  for (int q = 0; q < 4; ++q) {
    const EntityId skip = EntityId::init(gen.below(world.entities.size() + 2));
    // Once an asker at its own position, which the filter leaves out, as a game asks.
    const bool at_skip = q == 1 && skip.id >= 1 && skip.id <= world.entities.size();
    const HomVec4 query = q == 0    ? inBox(gen)
                          : at_skip ? world.entities[skip.id - 1].position
                                    : gen.query(seen);
    const Team team{1 + gen.below(3), gen.below(3), &index};
    const NearestFilter<Team> filter{skip, team};
    const auto keep = [&](EntityId id) { return filter.passes(id); };
    const std::size_t k = gen.below(3) == 0 ? gen.below(40) : 8;
    const double radius = gen.below(2) == 0 ? 1e-3 * static_cast<double>(gen.below(50)) : 0.3;

    const auto want_nearest = nemra_ecs_test::literalNearest(world, query, keep);
    ASSERT_EQ(index.nearest(query, filter), want_nearest);
    ASSERT_EQ(world.findNearest(query, filter), want_nearest);
    ASSERT_EQ(index.nearest(query), nemra_ecs_test::literalNearest(world, query));
    const auto want_k = nemra_ecs_test::literalKNearest(world, query, k, keep);
    ASSERT_EQ(numbers(*index.kNearest(query, k, nullptr, filter)), want_k) << "k " << k;
    ASSERT_EQ(numbers(*world.kNearest(query, k, nullptr, filter)), want_k) << "k " << k;
    // Seeds never change the answer: the answers themselves (the tightest start), the asker left
    // out with all answers but the last (counted, it would bound the k-th too near), ids named
    // twice, ids filtered out, not held or never created.
    std::vector<EntityId> seeds;
    for (std::size_t j = gen.below(2 * k + 4); j > 0; --j) {
      const std::size_t how = gen.below(3);
      if (how == 0 && !want_k.empty()) {
        seeds.push_back(EntityId::init(want_k[gen.below(want_k.size())]));
      } else if (how == 1 && !seeds.empty()) {
        seeds.push_back(seeds[gen.below(seeds.size())]);
      } else {
        seeds.push_back(EntityId::init(gen.below(world.entities.size() + 3)));
      }
    }
    if (const std::size_t start = gen.below(4); start < 2) {
      seeds.clear();
      if (start == 1) seeds.push_back(skip);
      for (const std::uint64_t id : want_k) seeds.push_back(EntityId::init(id));
      if (start == 1 && !want_k.empty()) seeds.pop_back();
    }
    ASSERT_EQ(numbers(*index.kNearest(query, k, seeds, nullptr, filter)), want_k)
        << "k " << k << ", " << seeds.size() << " seeds";
    const auto want_within = nemra_ecs_test::literalWithin(world, query, radius, keep);
    ASSERT_EQ(numbers(*index.withinDistance(query, radius, nullptr, filter)), want_within);
    ASSERT_EQ(numbers(*world.withinDistance(query, radius, nullptr, filter)), want_within);
  }
}

// One step of change; the ids it touched are appended to `touched`.
void change(World& world, Generator& gen, std::vector<HomVec4>& seen,
            std::vector<EntityId>& touched) {
  const std::size_t n = world.entities.size();
  switch (gen.below(6)) {
    case 0:
    case 1: {  // every entity, or a part, moves a small step (through setPositions)
      std::vector<EntityId> ids;
      std::vector<HomVec4> to;
      const double step = gen.below(2) == 0 ? 1e-3 : 0.05;
      const std::size_t every = 1 + gen.below(3);
      for (std::size_t i = 0; i < n; i += every) {
        const Entity& e = world.entities[i];
        const double s = e.position.w != 0.0 ? 1.0 / e.position.w : 1.0;
        ids.push_back(e.id);
        to.push_back(HomVec4::init(e.position.x * s + gen.normal() * step,
                                   e.position.y * s + gen.normal() * step,
                                   e.position.z * s + gen.normal() * step, 1.0));
      }
      world.setPositions(ids, to);
      touched.insert(touched.end(), ids.begin(), ids.end());
      break;
    }
    case 2:  // jumps, to anywhere or onto another entity (exact ties)
      for (std::size_t j = gen.below(8); j > 0 && n > 0; --j) {
        Entity& e = world.entities[gen.below(n)];
        const std::size_t how = gen.below(4);
        if (how == 0) {
          e.position = gen.position(seen);  // possibly untrusted: zero, NaN, huge
        } else if (how == 1) {
          e.setPosition(world.entities[gen.below(n)].position);
        } else {
          e.setPosition(inBox(gen));
        }
        seen.push_back(e.position);
        touched.push_back(e.id);
      }
      break;
    case 3:  // creations
      for (std::size_t j = gen.below(40); j > 0; --j) {
        const auto id = world.createEntity("e");
        if (!id) break;
        world.entities.back().setPosition(gen.below(4) == 0 ? gen.lattice() : inBox(gen));
        touched.push_back(*id);
      }
      break;
    default:  // state changes
      for (std::size_t j = gen.below(20); j > 0 && n > 0; --j) {
        Entity& e = world.entities[gen.below(n)];
        switch (gen.below(4)) {
          case 0:
            e.deactivate();
            break;
          case 1:
            e.state = EntityState::inactive;
            break;
          case 2:
            e.activate();
            break;
          default:
            e.state = EntityState::destroyed;
            break;
        }
        touched.push_back(e.id);
      }
      break;
  }
}

TEST(NearestIndexUpkeep, AnswersEqualTheScansAfterEveryChange) {
  Generator gen(2027);
  for (int round = 0; round < 60; ++round) {
    World world = World::init(nullptr);
    std::vector<HomVec4> seen;
    const std::size_t n = round % 10 == 0 ? 4000 : gen.below(400);
    for (std::size_t i = 0; i < n; ++i) {
      ASSERT_TRUE(world.createEntity("e"));
      world.entities.back().setPosition(i % 50 == 0 ? gen.lattice() : inBox(gen));
      if (i % 100 == 0) seen.push_back(world.entities.back().position);
    }
    auto built =
        round % 4 == 3 ? NearestIndex::init(nullptr) : *NearestIndex::build(world, nullptr);
    NearestIndex index = std::move(built);
    if (round % 4 == 3) {
      ASSERT_TRUE(index.refit(world));
    }
    for (int step = 0; step < 25; ++step) {
      std::vector<EntityId> touched;
      change(world, gen, seen, touched);
      const std::size_t how = static_cast<std::size_t>(round + step) % 3;
      if (how == 0) {
        ASSERT_TRUE(index.refit(world));
      } else {
        std::vector<EntityId> ids;
        std::vector<HomVec4> to;
        for (EntityId id : touched) {
          const Entity* e = world.getEntity(id);
          if (e->isActive()) {
            if (how == 1) {
              ASSERT_TRUE(index.update(id, e->position));
            } else {
              ids.push_back(id);
              to.push_back(e->position);
            }
          } else {
            index.erase(id);
          }
        }
        ASSERT_TRUE(index.update(ids, to));
      }
      ASSERT_NO_FATAL_FAILURE(expectSameAnswers(world, index, gen, seen))
          << "round " << round << " step " << step << " sync " << how;
    }
  }
}

// Every allocation of update (one and a batch) and refit fails in turn: the call reports
// OutOfMemory and the index answers as before; then the call succeeds and the index follows.
TEST(NearestIndexUpkeep, OutOfMemoryLeavesTheIndexAsItWas) {
  Generator gen(5);
  World world = World::init(nullptr);
  for (int i = 0; i < 600; ++i) {
    ASSERT_TRUE(world.createEntity("e"));
    world.entities.back().setPosition(inBox(gen));
  }
  FailingResource resource;
  auto built = NearestIndex::build(world, &resource);
  ASSERT_TRUE(built);
  NearestIndex index = std::move(*built);
  const HomVec4 query = inBox(gen);
  for (int call = 0; call < 3; ++call) {
    // New entities beyond the list's room, so that the call must allocate.
    std::vector<EntityId> ids;
    std::vector<HomVec4> to;
    for (int i = 0; i < (call == 0 ? 100 : 400); ++i) {
      ids.push_back(*world.createEntity("new"));
      world.entities.back().setPosition(inBox(gen));
      to.push_back(world.entities.back().position);
    }
    const auto before = numbers(*index.kNearest(query, 50, nullptr));
    const std::size_t size_before = index.size();
    std::size_t failures = 0;
    if (call == 2) {
      // One at a time, each first with every allocation failing.
      for (std::size_t i = 0; i < ids.size(); ++i) {
        const std::size_t size = index.size();
        const auto answer = numbers(*index.kNearest(query, 50, nullptr));
        resource.failAll();
        const bool ok = index.update(ids[i], to[i]).has_value();
        resource.succeedAll();
        if (!ok) {
          ++failures;
          ASSERT_EQ(index.size(), size);
          ASSERT_EQ(numbers(*index.kNearest(query, 50, nullptr)), answer);
          ASSERT_TRUE(index.update(ids[i], to[i]));
        }
      }
    }
    for (std::size_t k = 0; call < 2; ++k) {
      resource.failAllocation(k);
      const bool ok =
          call == 0 ? index.refit(world).has_value() : index.update(ids, to).has_value();
      resource.succeedAll();
      if (ok) break;
      ++failures;
      ASSERT_EQ(index.size(), size_before) << "call " << call << " allocation " << k;
      ASSERT_EQ(numbers(*index.kNearest(query, 50, nullptr)), before);
    }
    EXPECT_GE(failures, 1U) << "call " << call;
    EXPECT_EQ(numbers(*index.kNearest(query, 50, nullptr)),
              nemra_ecs_test::literalKNearest(world, query, 50));
  }
  // More than 32 seeds take working storage: when it fails the query goes on without them, so a
  // seeded query fails only where an unseeded one does.
  const std::vector<EntityId> seeds(40, world.entities.front().id);
  const auto want = numbers(*index.kNearest(query, 8, nullptr));
  std::size_t seeded_errors = 0, errors = 0;
  for (std::size_t k = 0; k < 6; ++k) {
    resource.failAllocation(k);
    const auto seeded = index.kNearest(query, 8, seeds, &resource);
    resource.failAllocation(k);
    const auto plain = index.kNearest(query, 8, &resource);
    resource.succeedAll();
    seeded_errors += seeded ? 0U : 1U;
    errors += plain ? 0U : 1U;
    if (seeded) {
      ASSERT_EQ(numbers(*seeded), want) << "allocation " << k;
    }
  }
  EXPECT_EQ(seeded_errors, errors);
  index.deinit();
  EXPECT_EQ(resource.liveBlocks(), 0U);
  EXPECT_EQ(resource.misuses(), 0U);
}

// Entities that drift apart wear the tree until subtrees are arranged again, while an allocation
// of each update fails (the first, the second, ... in turn): those that fail inside an update that
// succeeds are an arrangement's (or a rebuild's), left for a later call, and the index must still
// answer as the scan does (a failed arrangement leaves its subtree as it was, never half arranged).
TEST(NearestIndexUpkeep, ArrangementsThatRunOutOfMemoryLeaveTheTreeSound) {
  Generator gen(11);
  World world = World::init(nullptr);
  std::vector<EntityId> ids;
  std::vector<HomVec4> velocity;
  for (int i = 0; i < 3000; ++i) {
    ids.push_back(*world.createEntity("e"));
    world.entities.back().setPosition(inBox(gen));
    velocity.push_back(HomVec4::init(gen.normal(), gen.normal(), gen.normal(), 0.0));
  }
  FailingResource resource;
  NearestIndex index = std::move(*NearestIndex::build(world, &resource));
  std::vector<HomVec4> next(ids.size()), stored(ids.size());
  std::size_t arrangements_failed = 0;
  for (std::size_t tick = 0; tick < 80; ++tick) {
    for (std::size_t i = 0; i < ids.size(); ++i) {
      const HomVec4 p = world.entities[i].position;
      const HomVec4& v = velocity[i];
      next[i] = HomVec4::init(p.x + v.x * p.w, p.y + v.y * p.w, p.z + v.z * p.w, p.w);
    }
    ASSERT_EQ(world.setPositions(ids, next, stored), ids.size());
    const std::size_t failures = resource.failures();
    resource.failAllocation(tick % 5);
    ASSERT_TRUE(index.update(ids, stored));
    resource.succeedAll();
    arrangements_failed += resource.failures() - failures;
    for (std::size_t q = 0; q < 6; ++q) {
      const HomVec4 at = world.entities[gen.below(ids.size())].position;
      ASSERT_EQ(numbers(*index.kNearest(at, 8, nullptr)),
                nemra_ecs_test::literalKNearest(world, at, 8))
          << "tick " << tick;
    }
  }
  EXPECT_GE(arrangements_failed, 3U);
  index.deinit();
  EXPECT_EQ(resource.liveBlocks(), 0U);
  EXPECT_EQ(resource.misuses(), 0U);
}

}  // namespace
