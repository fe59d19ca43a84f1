#include <cstdint>
#include <cstring>
#include <limits>
#include <memory_resource>
#include <random>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include <nemra_ecs/world.hpp>

#include "support/failing_resource.hpp"

namespace {

using nemra_ecs::Entity;
using nemra_ecs::EntityId;
using nemra_ecs::EntityState;
using nemra_ecs::Error;
using nemra_ecs::EventBus;
using nemra_ecs::PositionChangedEvent;
using nemra_ecs::World;
using nemra_kernel::HomVec4;
using nemra_test::FailingResource;

// Everything observable about a world's records and counter.
struct WorldSnapshot {
  std::vector<Entity> entities;
  const Entity* data;
  std::size_t capacity;
  std::uint64_t next_id;

  explicit WorldSnapshot(const World& w)
      : entities(w.entities.begin(), w.entities.end()),
        data(w.entities.data()),
        capacity(w.entities.capacity()),
        next_id(w.next_id) {}
};

void expectSameEntity(const Entity& a, const Entity& b) {
  EXPECT_EQ(a.id, b.id);
  EXPECT_EQ(a.name.data(), b.name.data());
  EXPECT_EQ(a.name.size(), b.name.size());
  EXPECT_EQ(a.position, b.position);
  EXPECT_EQ(a.world_transform, b.world_transform);
  EXPECT_EQ(a.parent_id, b.parent_id);
  EXPECT_EQ(a.version, b.version);
  EXPECT_EQ(a.state, b.state);
}

void expectRecordsUnchanged(const World& w, const WorldSnapshot& s) {
  EXPECT_EQ(w.entities.data(), s.data);
  EXPECT_EQ(w.entities.capacity(), s.capacity);
  ASSERT_EQ(w.entities.size(), s.entities.size());
  for (std::size_t i = 0; i < s.entities.size(); ++i)
    expectSameEntity(w.entities[i], s.entities[i]);
}

TEST(WorldCreateEntity, NumbersFromOneAndActivatesOnce) {
  FailingResource resource;
  World world = World::init(&resource);
  EXPECT_EQ(world.next_id, 1U);
  static constexpr char kNames[3][2] = {"a", "b", "c"};
  for (std::uint64_t i = 1; i <= 3; ++i) {
    auto id = world.createEntity(kNames[i - 1]);
    ASSERT_TRUE(id.has_value());
    EXPECT_EQ(id->id, i);
  }
  for (std::size_t i = 0; i < 3; ++i) {
    const Entity& e = world.entities[i];
    EXPECT_EQ(e.id.id, i + 1);
    EXPECT_EQ(e.name.data(), kNames[i]);
    EXPECT_EQ(e.state, EntityState::active);
    EXPECT_EQ(e.version, 1U);
    EXPECT_EQ(e.position, HomVec4::init(0, 0, 0, 1));
  }
  EXPECT_EQ(world.next_id, 4U);
  world.deinit();
  EXPECT_EQ(resource.liveBlocks(), 0U);
}

// For every allocation the call makes, failing it must leave the world as it was (but for the
// spent number) and leak nothing; the next successful call then gets the following number.
TEST(WorldCreateEntity, OutOfMemoryAtEveryAllocationLeavesTheWorldAsItWas) {
  for (std::size_t existing = 0; existing <= 9; ++existing) {
    SCOPED_TRACE(existing);
    FailingResource resource;
    {
      World world = World::init(&resource);
      for (std::size_t i = 0; i < existing; ++i) ASSERT_TRUE(world.createEntity("old"));
      std::size_t failed = 0;
      for (std::size_t k = 0;; ++k) {
        ASSERT_LT(k, 16U) << "createEntity never succeeded";
        WorldSnapshot before(world);
        std::size_t live = resource.liveBlocks();
        resource.failAllocation(k);
        auto id = world.createEntity("new");
        resource.succeedAll();
        if (id) {
          EXPECT_EQ(id->id, before.next_id);
          EXPECT_EQ(world.entities.size(), existing + 1);
          break;
        }
        ++failed;
        EXPECT_EQ(id.error(), Error::OutOfMemory);
        expectRecordsUnchanged(world, before);
        EXPECT_EQ(world.next_id, before.next_id + 1);
        EXPECT_EQ(resource.liveBlocks(), live);
      }
      // Ids 1..existing, then one number spent per failed call.
      EXPECT_EQ(world.entities.back().id.id, existing + 1 + failed);
      EXPECT_EQ(failed, resource.failures());
      world.deinit();
      EXPECT_EQ(resource.liveBlocks(), 0U);
    }
    EXPECT_EQ(resource.misuses(), 0U);
  }
}

TEST(WorldCreateEntity, NoNumberLeftIsAnErrorAndChangesNothing) {
  constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
  World world = World::init(nullptr);
  ASSERT_TRUE(world.createEntity("first"));
  world.next_id = kMax - 1;
  auto last = world.createEntity("last");
  ASSERT_TRUE(last.has_value());
  EXPECT_EQ(last->id, kMax - 1);
  for (std::uint64_t bad : {kMax, std::uint64_t{0}}) {
    world.next_id = bad;
    WorldSnapshot before(world);
    auto none = world.createEntity("none");
    ASSERT_FALSE(none.has_value());
    EXPECT_EQ(none.error(), Error::IdentifiersExhausted);
    EXPECT_EQ(nemra_ecs::errorName(none.error()), "IdentifiersExhausted");
    EXPECT_EQ(world.next_id, bad);
    expectRecordsUnchanged(world, before);
  }
  EXPECT_EQ(nemra_ecs::errorName(Error::OutOfMemory), "OutOfMemory");
}

TEST(WorldGetEntity, FindsAnyStateAndNothingElse) {
  World world = World::init(nullptr);
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(world.createEntity("e"));
  EXPECT_EQ(world.getEntity(EntityId::invalid()), nullptr);
  EXPECT_EQ(world.getEntity(EntityId::init(4)), nullptr);
  Entity* second = world.getEntity(EntityId::init(2));
  ASSERT_NE(second, nullptr);
  EXPECT_EQ(second, &world.entities[1]);
  second->deactivate();
  second->setPosition(HomVec4::init(0, 1, 0, 0));
  const World& view = world;
  const Entity* again = view.getEntity(EntityId::init(2));
  ASSERT_EQ(again, second);
  EXPECT_EQ(again->state, EntityState::deactivating);  // found although not active
  EXPECT_EQ(again->position, HomVec4::init(0, 1, 0, 0));
  EXPECT_EQ(again->version, 3U);
}

TEST(WorldFindNearest, ChoosesTheFirstOfTheNearestActiveEntities) {
  struct Scenario {
    const char* what;
    std::vector<HomVec4> positions;  // of entities 1, 2, ...
    std::vector<std::uint64_t> deactivated;
    HomVec4 query;
    std::uint64_t expected;  // 0 for none
  };
  const Scenario scenarios[] = {
      {"empty world", {}, {}, HomVec4::init(1, 0, 0, 0), 0},
      {"every entity deactivated",
       {HomVec4::init(1, 0, 0, 0), HomVec4::init(0, 1, 0, 0)},
       {1, 2},
       HomVec4::init(1, 0, 0, 0),
       0},
      {"the check's two points",
       {HomVec4::init(1, 0, 0, 0), HomVec4::init(0, 1, 0, 0)},
       {},
       HomVec4::init(0.9, 0.1, 0, 0),
       1},
      {"a later, strictly nearer entity wins",
       {HomVec4::init(0, 1, 0, 0), HomVec4::init(1, 0, 0, 0)},
       {},
       HomVec4::init(0.9, 0.1, 0, 0),
       2},
      {"a tie goes to the first",
       {HomVec4::init(0, 0, 1, 0), HomVec4::init(1, 0, 0, 0), HomVec4::init(1, 0, 0, 0)},
       {},
       HomVec4::init(1, 0.5, 0, 0),
       2},
      {"an antipode is the same point, so it ties",
       {HomVec4::init(0, 0, 1, 0), HomVec4::init(-1, 0, 0, 0), HomVec4::init(1, 0, 0, 0)},
       {},
       HomVec4::init(1, 0.5, 0, 0),
       2},
      {"new entities at the origin, query a multiple of it",
       {HomVec4::init(0, 0, 0, 1), HomVec4::init(0, 0, 0, 1)},
       {},
       HomVec4::init(0, 0, 0, 5),
       1},
      {"an inactive nearer entity is skipped",
       {HomVec4::init(1, 0, 0, 0), HomVec4::init(0, 1, 0, 0)},
       {1},
       HomVec4::init(1, 0, 0, 0),
       2},
      {"the zero query is at distance 0 from everything",
       {HomVec4::init(1, 0, 0, 0), HomVec4::init(0, 1, 0, 0), HomVec4::init(0, 0, 1, 0)},
       {1},
       HomVec4::zero(),
       2},
      {"a NaN query likewise",
       {HomVec4::init(1, 0, 0, 0), HomVec4::init(0, 1, 0, 0)},
       {},
       HomVec4::init(std::numeric_limits<double>::quiet_NaN(), 0, 0, 0),
       1},
      {"orthogonal to everything still finds the first",
       {HomVec4::init(1, 0, 0, 0), HomVec4::init(0, 1, 0, 0)},
       {},
       HomVec4::init(0, 0, 0, 1),
       1},
  };
  for (const Scenario& s : scenarios) {
    SCOPED_TRACE(s.what);
    World world = World::init(nullptr);
    for (HomVec4 p : s.positions) {
      auto id = world.createEntity("e");
      ASSERT_TRUE(id.has_value());
      world.getEntity(*id)->setPosition(p);
    }
    for (std::uint64_t id : s.deactivated) world.getEntity(EntityId::init(id))->deactivate();
    auto nearest = world.findNearest(s.query);
    if (s.expected == 0) {
      EXPECT_FALSE(nearest.has_value());
    } else {
      ASSERT_TRUE(nearest.has_value());
      EXPECT_EQ(nearest->id, s.expected);
    }
  }
}

TEST(WorldActiveCount, CountsOnlyActiveEntities) {
  World world = World::init(nullptr);
  EXPECT_EQ(world.activeCount(), 0U);
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(world.createEntity("e"));
  EXPECT_EQ(world.activeCount(), 3U);
  world.getEntity(EntityId::init(2))->deactivate();
  EXPECT_EQ(world.activeCount(), 2U);
  world.getEntity(EntityId::init(3))->state = EntityState::inactive;
  EXPECT_EQ(world.activeCount(), 1U);
  world.getEntity(EntityId::init(3))->activate();
  EXPECT_EQ(world.activeCount(), 2U);
}

TEST(WorldOwnership, MoveOnlyAndReleasesOnEveryPath) {
  static_assert(!std::is_copy_constructible_v<World>);
  static_assert(!std::is_copy_assignable_v<World>);
  static_assert(std::is_nothrow_move_constructible_v<World>);
  static_assert(std::is_nothrow_move_assignable_v<World>);

  FailingResource a_resource;
  FailingResource b_resource;
  {
    World a = World::init(&a_resource);
    ASSERT_TRUE(a.createEntity("a1"));
    World moved(std::move(a));  // takes the storage itself: references stay good
    EXPECT_TRUE(a.entities.empty());
    ASSERT_EQ(moved.entities.size(), 1U);
    const Entity* kept = &moved.entities[0];

    World b = World::init(&b_resource);
    ASSERT_TRUE(b.createEntity("b1"));
    ASSERT_TRUE(b.createEntity("b2"));
    moved = std::move(b);  // releases a's storage, takes b's with its allocator
    EXPECT_EQ(a_resource.liveBlocks(), 0U);
    ASSERT_EQ(moved.entities.size(), 2U);
    EXPECT_EQ(moved.entities.get_allocator().resource(), &b_resource);
    EXPECT_NE(&moved.entities[0], kept);
    ASSERT_TRUE(moved.createEntity("b3"));
    EXPECT_EQ(moved.entities.back().id.id, 3U);
    EXPECT_EQ(moved.next_id, 4U);
  }  // the destructor releases what deinit was not called for
  EXPECT_EQ(a_resource.liveBlocks(), 0U);
  EXPECT_EQ(b_resource.liveBlocks(), 0U);
  EXPECT_EQ(a_resource.misuses() + b_resource.misuses(), 0U);
}

TEST(WorldOwnership, DeinitReleasesAndTheWorldStaysUsable) {
  FailingResource resource;
  World world = World::init(&resource);
  EXPECT_EQ(resource.allocations(), 0U);  // init allocates nothing
  for (int i = 0; i < 5; ++i) ASSERT_TRUE(world.createEntity("e"));
  world.deinit();
  EXPECT_EQ(resource.liveBlocks(), 0U);
  EXPECT_TRUE(world.entities.empty());
  auto id = world.createEntity("again");
  ASSERT_TRUE(id.has_value());
  EXPECT_EQ(id->id, 6U);  // numbers are never reused
  world.deinit();
  world.deinit();  // a second release is harmless
  EXPECT_EQ(resource.liveBlocks(), 0U);
  EXPECT_EQ(resource.misuses(), 0U);
}

int g_first_calls = 0;
int g_second_calls = 0;
PositionChangedEvent g_seen{};

void firstHandler(PositionChangedEvent e) {
  ++g_first_calls;
  g_seen = e;
}
void secondHandler(PositionChangedEvent) { ++g_second_calls; }

TEST(EventBusDispatch, CallsTheLastHandlerOnceAndDropsEventsWithoutOne) {
  g_first_calls = g_second_calls = 0;
  auto bus = EventBus<PositionChangedEvent>::init();
  const PositionChangedEvent event{EntityId::init(7), HomVec4::init(1, 0, 0, 0),
                                   HomVec4::init(0, 1, 0, 0), 1.25};
  bus.dispatch(event);  // no handler: nothing happens
  bus.setHandler(&firstHandler);
  bus.dispatch(event);
  EXPECT_EQ(g_first_calls, 1);
  EXPECT_EQ(g_seen.entity_id, event.entity_id);
  EXPECT_EQ(g_seen.old_position, event.old_position);
  EXPECT_EQ(g_seen.new_position, event.new_position);
  EXPECT_EQ(g_seen.fs_distance_moved, 1.25);  // passed through, not recomputed
  bus.setHandler(&secondHandler);
  bus.dispatch(event);
  EXPECT_EQ(g_first_calls, 1);
  EXPECT_EQ(g_second_calls, 1);

  World world = World::init(nullptr);
  EXPECT_EQ(world.position_bus.handler, nullptr);
  EXPECT_EQ(world.transform_bus.handler, nullptr);
  world.position_bus.setHandler(&secondHandler);
  ASSERT_TRUE(world.createEntity("quiet"));
  world.getEntity(EntityId::init(1))->setPosition(HomVec4::init(1, 0, 0, 0));
  (void)world.findNearest(HomVec4::init(1, 0, 0, 0));
  world.deinit();
  EXPECT_EQ(g_second_calls, 1);  // the world dispatches nothing by itself
}

// The first-match scan that getEntity must agree with.
const Entity* scanFor(const World& w, EntityId id) {
  for (const Entity& e : w.entities) {
    if (e.id.id == id.id) return &e;
  }
  return nullptr;
}

// Worlds with gaps in their ids: creations that failed when the array had to grow, and runs of
// them, as many as a loop of failed creations would leave (next_id raised by hand).
TEST(WorldGetEntity, AgreesWithTheFirstMatchScanAfterFailedCreations) {
  std::mt19937_64 rng(5);
  for (int round = 0; round < 40; ++round) {
    FailingResource resource;
    World world = World::init(&resource);
    const int n = static_cast<int>(rng() % 300);
    for (int i = 0; i < n; ++i) {
      if (world.entities.size() == world.entities.capacity() && rng() % 2 == 0) {
        resource.failAllocation(0);
        ASSERT_FALSE(world.createEntity("failed"));
      }
      if (rng() % 8 == 0) world.next_id += rng() % 40;
      ASSERT_TRUE(world.createEntity("e"));
    }
    const World& view = world;
    for (std::uint64_t k = 0; k <= world.next_id + 2; ++k) {
      const Entity* want = scanFor(world, EntityId::init(k));
      ASSERT_EQ(view.getEntity(EntityId::init(k)), want) << "round " << round << " id " << k;
      ASSERT_EQ(world.getEntity(EntityId::init(k)), want) << "round " << round << " id " << k;
    }
    world.deinit();
  }
}

// Names are borrowed: a temporary string, whose characters die with the call's expression, is
// refused when the program is built; lvalues and views are taken.
template <class Name>
concept CanName = requires(World& w, Name&& name) {
  w.createEntity(std::forward<Name>(name));
};
static_assert(!CanName<std::string>);
static_assert(!CanName<const std::string>);
static_assert(!CanName<std::pmr::string>);
static_assert(CanName<std::string&>);
static_assert(CanName<const std::string&>);
static_assert(CanName<std::string_view>);
static_assert(CanName<const char (&)[5]>);

}  // namespace

// setPositions against the per-entity loop on a copy: ids in order, out of order, repeated and
// missing, points refused by setPosition among them; the records match bit for bit. Every other
// round through the form that hands back the stored positions: each is the record's position
// right after its own set (a repeated id's earlier one included), a missing id's left untouched.
TEST(WorldSetPositions, SameRecordsAsTheLoopOfGetEntityAndSetPosition) {
  std::mt19937_64 rng(27);
  std::normal_distribution<double> normal;
  for (int round = 0; round < 20; ++round) {
    World bulk = World::init(nullptr);
    World loop = World::init(nullptr);
    for (int i = 0; i < 40; ++i) {
      ASSERT_TRUE(bulk.createEntity("e").has_value());
      ASSERT_TRUE(loop.createEntity("e").has_value());
    }
    // A version at its ceiling stays there.
    bulk.entities[0].version = loop.entities[0].version = std::numeric_limits<std::uint64_t>::max();
    std::vector<EntityId> ids;
    std::vector<HomVec4> points;
    for (std::uint64_t k = 0; k < 60; ++k) {
      const std::uint64_t draw = rng() % 8;
      // Mostly the next id in order; sometimes any id, an id past the end or 0.
      const std::uint64_t id = draw < 5 ? k % 45 + 1 : draw == 5 ? rng() % 50 : rng() % 41 + 1;
      ids.push_back(EntityId::init(id));
      // Under the zero guard, or with squares that overflow: refused.
      const double s = draw == 7 ? 1e-16 : draw == 6 ? 1e200 : 1.0;
      points.push_back(HomVec4::init(
          normal(rng) * s, normal(rng) * s, normal(rng) * s,
          round % 5 == 0 && k == 3 ? std::numeric_limits<double>::infinity() : normal(rng) * s));
    }
    std::size_t want = 0;
    const HomVec4 untouched = HomVec4::init(7.0, 7.0, 7.0, 7.0);
    std::vector<HomVec4> want_stored(ids.size(), untouched);
    for (std::size_t i = 0; i < ids.size(); ++i) {
      if (Entity* e = loop.getEntity(ids[i])) {
        e->setPosition(points[i]);
        want_stored[i] = e->position;
        ++want;
      }
    }
    if (round % 2 == 0) {
      EXPECT_EQ(bulk.setPositions(ids, points), want);
    } else {
      std::vector<HomVec4> stored(ids.size(), untouched);
      EXPECT_EQ(bulk.setPositions(ids, points, stored), want);
      EXPECT_EQ(0, std::memcmp(stored.data(), want_stored.data(), stored.size() * sizeof(HomVec4)));
    }
    for (std::size_t i = 0; i < loop.entities.size(); ++i) {
      const Entity& b = bulk.entities[i];
      const Entity& l = loop.entities[i];
      EXPECT_EQ(0, std::memcmp(&b.position, &l.position, sizeof(HomVec4))) << i;
      EXPECT_EQ(b.version, l.version) << i;
    }
  }
}
