#include <algorithm>
#include <cstdint>
#include <limits>
#include <span>
#include <type_traits>
#include <vector>

#include <gtest/gtest.h>

#include <nemra_ecs/archetype.hpp>
#include <nemra_ecs/archetype_registry.hpp>

#include "support/failing_resource.hpp"

namespace {

using nemra_ecs::Archetype;
using nemra_ecs::ArchetypeId;
using nemra_ecs::ArchetypeRegistry;
using nemra_ecs::ComponentTypeId;
using nemra_ecs::Error;
using nemra_test::FailingResource;

constexpr std::uint32_t kU32Max = std::numeric_limits<std::uint32_t>::max();

std::vector<ComponentTypeId> typesOf(std::initializer_list<std::uint64_t> ids) {
  std::vector<ComponentTypeId> types;
  for (std::uint64_t id : ids) types.push_back(ComponentTypeId::fromId(id));
  return types;
}

// Everything observable about one archetype.
struct ArchetypeSnapshot {
  std::uint64_t component_hash;
  std::vector<ComponentTypeId> component_types;
  const ComponentTypeId* data;
  std::size_t capacity;
  ArchetypeId id;
  std::uint32_t entity_count;
  std::uint32_t capacity_field;

  explicit ArchetypeSnapshot(const Archetype& a)
      : component_hash(a.component_hash),
        component_types(a.component_types.begin(), a.component_types.end()),
        data(a.component_types.data()),
        capacity(a.component_types.capacity()),
        id(a.id),
        entity_count(a.entity_count),
        capacity_field(a.capacity) {}

  bool operator==(const ArchetypeSnapshot&) const = default;
};

struct RegistrySnapshot {
  std::vector<ArchetypeSnapshot> archetypes;
  const Archetype* data;
  std::size_t capacity;
  std::uint32_t next_id;

  explicit RegistrySnapshot(const ArchetypeRegistry& r)
      : data(r.archetypes.data()), capacity(r.archetypes.capacity()), next_id(r.next_id) {
    for (const Archetype& a : r.archetypes) archetypes.emplace_back(a);
  }
};

void expectSameArchetypes(const ArchetypeRegistry& r, const RegistrySnapshot& s) {
  EXPECT_EQ(r.archetypes.data(), s.data);
  EXPECT_EQ(r.archetypes.capacity(), s.capacity);
  EXPECT_EQ(r.count(), s.archetypes.size());
  EXPECT_TRUE(RegistrySnapshot(r).archetypes == s.archetypes);
}

TEST(ArchetypeHash, OrderSensitiveFoldFromZero) {
  struct Row {
    std::vector<ComponentTypeId> types;
    std::uint64_t hash;
  };
  const Row rows[] = {
      {typesOf({}), 0},
      {typesOf({7}), 7},
      {typesOf({1, 2}), 1099511628209ULL},
      {typesOf({2, 1}), 2199023256423ULL},
      {typesOf({1, 2, 3}), 954376093097920ULL},
      {typesOf({5, 5}), 5497558141050ULL},  // a repeated type is hashed again
      {typesOf({std::numeric_limits<std::uint64_t>::max(), 2}),
       18446742974197923407ULL},  // the multiply wraps modulo 2^64
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.hash);
    ArchetypeRegistry registry = ArchetypeRegistry::init(nullptr);
    auto id = registry.createArchetype(row.types);
    ASSERT_TRUE(id.has_value());
    const Archetype* a = registry.getArchetype(*id);
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(a->component_hash, row.hash);
    EXPECT_TRUE(std::ranges::equal(a->component_types, row.types));

    Archetype direct = Archetype::init(nullptr, ArchetypeId::init(1));
    for (ComponentTypeId t : row.types) ASSERT_TRUE(direct.addComponentType(t));
    EXPECT_EQ(direct.component_hash, row.hash);
  }
}

TEST(ArchetypeComponents, DuplicatesAreKeptAndFound) {
  Archetype a = Archetype::init(nullptr, ArchetypeId::init(1));
  EXPECT_FALSE(a.hasComponent(ComponentTypeId::fromId(0)));  // empty list
  ASSERT_TRUE(a.addComponentType(ComponentTypeId::fromId(4)));
  ASSERT_TRUE(a.addComponentType(ComponentTypeId::fromId(4)));
  ASSERT_TRUE(a.addComponentType(ComponentTypeId::fromId(0)));
  EXPECT_EQ(a.component_types.size(), 3U);
  EXPECT_TRUE(a.hasComponent(ComponentTypeId::fromId(4)));
  EXPECT_TRUE(a.hasComponent(ComponentTypeId::fromId(0)));
  EXPECT_FALSE(a.hasComponent(ComponentTypeId::fromId(5)));
}

TEST(ArchetypeEntityCount, StaysWithinZeroAndTheMaximum) {
  Archetype a = Archetype::init(nullptr, ArchetypeId::init(1));
  a.removeEntity();
  EXPECT_EQ(a.entity_count, 0U);
  a.addEntity();
  EXPECT_EQ(a.entity_count, 1U);
  a.entity_count = kU32Max - 1;
  a.addEntity();
  a.addEntity();  // stays at the maximum instead of wrapping to 0
  EXPECT_EQ(a.entity_count, kU32Max);
  a.removeEntity();
  EXPECT_EQ(a.entity_count, kU32Max - 1);
  EXPECT_EQ(a.capacity, 0U);  // nothing touches it
}

TEST(ArchetypeAddComponentType, OutOfMemoryChangesNeitherListNorHash) {
  FailingResource resource;
  {
    Archetype a = Archetype::init(&resource, ArchetypeId::init(3));
    for (std::uint64_t t = 1; t <= 9; ++t) {
      ArchetypeSnapshot before(a);
      std::size_t live = resource.liveBlocks();
      resource.failAll();
      auto added = a.addComponentType(ComponentTypeId::fromId(t));
      resource.succeedAll();
      if (added) {
        // Only an append into spare capacity gets through without allocating.
        EXPECT_EQ(a.component_types.size(), before.component_types.size() + 1);
      } else {
        EXPECT_EQ(added.error(), Error::OutOfMemory);
        EXPECT_TRUE(ArchetypeSnapshot(a) == before);
        EXPECT_EQ(resource.liveBlocks(), live);
        ASSERT_TRUE(a.addComponentType(ComponentTypeId::fromId(t)));
      }
    }
    EXPECT_EQ(a.component_types.size(), 9U);
    a.deinit();
    EXPECT_EQ(resource.liveBlocks(), 0U);
  }
  EXPECT_EQ(resource.misuses(), 0U);
}

TEST(ArchetypeRegistryCreate, HandsOutIdsInOrderWithoutDeduplicating) {
  ArchetypeRegistry registry = ArchetypeRegistry::init(nullptr);
  EXPECT_EQ(registry.count(), 0U);
  const auto types = typesOf({1, 2});
  const auto reversed = typesOf({2, 1});
  for (std::uint32_t n = 1; n <= 4; ++n) {
    auto id = registry.createArchetype(n % 2 == 0 ? std::span(reversed) : std::span(types));
    ASSERT_TRUE(id.has_value());
    EXPECT_EQ(id->id, n);
    EXPECT_EQ(registry.count(), n);
  }
  EXPECT_EQ(registry.getArchetype(ArchetypeId::invalid()), nullptr);
  EXPECT_EQ(registry.getArchetype(ArchetypeId::init(5)), nullptr);
  ASSERT_NE(registry.getArchetype(ArchetypeId::init(3)), nullptr);
  EXPECT_EQ(registry.getArchetype(ArchetypeId::init(3)), &registry.archetypes[2]);
  // Changes through the reference are changes of the registry's own record.
  registry.getArchetype(ArchetypeId::init(3))->addEntity();
  const ArchetypeRegistry& view = registry;
  EXPECT_EQ(view.getArchetype(ArchetypeId::init(3))->entity_count, 1U);
}

// For every allocation createArchetype makes, failing it must leave the registry as it was (but
// for the spent id) and leak nothing; the next successful call gets the following id.
TEST(ArchetypeRegistryCreate, OutOfMemoryAtEveryAllocationLeavesTheRegistryAsItWas) {
  const std::vector<ComponentTypeId> type_lists[] = {typesOf({}), typesOf({3}),
                                                     typesOf({1, 2, 3, 2})};
  for (const auto& types : type_lists) {
    for (std::size_t existing = 0; existing <= 5; ++existing) {
      SCOPED_TRACE(testing::Message() << types.size() << " types, " << existing << " existing");
      FailingResource resource;
      {
        ArchetypeRegistry registry = ArchetypeRegistry::init(&resource);
        const auto some = typesOf({9, 8});
        for (std::size_t i = 0; i < existing; ++i) ASSERT_TRUE(registry.createArchetype(some));
        if (existing > 0) registry.archetypes.front().addEntity();  // counts are compared too
        std::size_t failed = 0;
        for (std::size_t k = 0;; ++k) {
          ASSERT_LT(k, 16U) << "createArchetype never succeeded";
          RegistrySnapshot before(registry);
          std::size_t live = resource.liveBlocks();
          resource.failAllocation(k);
          auto id = registry.createArchetype(types);
          resource.succeedAll();
          if (id) {
            EXPECT_EQ(id->id, before.next_id);
            const Archetype* created = registry.getArchetype(*id);
            ASSERT_NE(created, nullptr);
            EXPECT_TRUE(std::ranges::equal(created->component_types, types));
            EXPECT_EQ(created->component_types.get_allocator().resource(), &resource);
            break;
          }
          ++failed;
          EXPECT_EQ(id.error(), Error::OutOfMemory);
          expectSameArchetypes(registry, before);
          EXPECT_EQ(registry.next_id, before.next_id + 1);
          EXPECT_EQ(resource.liveBlocks(), live);
        }
        EXPECT_EQ(failed, resource.failures());
        EXPECT_EQ(registry.archetypes.back().id.id, existing + 1 + failed);
        registry.deinit();
        EXPECT_EQ(resource.liveBlocks(), 0U);
      }
      EXPECT_EQ(resource.misuses(), 0U);
    }
  }
}

TEST(ArchetypeRegistryCreate, NoIdLeftIsAnErrorAndChangesNothing) {
  ArchetypeRegistry registry = ArchetypeRegistry::init(nullptr);
  const auto types = typesOf({1});
  ASSERT_TRUE(registry.createArchetype(types));
  registry.next_id = kU32Max - 1;
  auto last = registry.createArchetype(types);
  ASSERT_TRUE(last.has_value());
  EXPECT_EQ(last->id, kU32Max - 1);
  for (std::uint32_t bad : {kU32Max, std::uint32_t{0}}) {
    registry.next_id = bad;
    RegistrySnapshot before(registry);
    auto none = registry.createArchetype(types);
    ASSERT_FALSE(none.has_value());
    EXPECT_EQ(none.error(), Error::IdentifiersExhausted);
    EXPECT_EQ(registry.next_id, bad);
    expectSameArchetypes(registry, before);
  }
}

TEST(ArchetypeOwnership, MoveOnlyAndReleasesOnEveryPath) {
  static_assert(!std::is_copy_constructible_v<Archetype>);
  static_assert(!std::is_copy_assignable_v<Archetype>);
  static_assert(std::is_nothrow_move_constructible_v<Archetype>);
  static_assert(std::is_nothrow_move_assignable_v<Archetype>);
  static_assert(!std::is_copy_constructible_v<ArchetypeRegistry>);
  static_assert(!std::is_copy_assignable_v<ArchetypeRegistry>);
  static_assert(std::is_nothrow_move_constructible_v<ArchetypeRegistry>);
  static_assert(std::is_nothrow_move_assignable_v<ArchetypeRegistry>);

  FailingResource a_resource;
  FailingResource b_resource;
  {
    const auto types = typesOf({1, 2, 3});
    ArchetypeRegistry a = ArchetypeRegistry::init(&a_resource);
    ASSERT_TRUE(a.createArchetype(types));
    ASSERT_TRUE(a.createArchetype(types));
    ArchetypeRegistry b = ArchetypeRegistry::init(&b_resource);
    ASSERT_TRUE(b.createArchetype(types));
    a = std::move(b);  // releases a's archetypes and their lists, takes b's
    EXPECT_EQ(a_resource.liveBlocks(), 0U);
    EXPECT_EQ(a.count(), 1U);
    EXPECT_EQ(a.next_id, 2U);
    ArchetypeRegistry c(std::move(a));
    EXPECT_EQ(a.count(), 0U);
    ASSERT_TRUE(c.createArchetype(types));
    EXPECT_EQ(c.archetypes.back().component_types.get_allocator().resource(), &b_resource);

    Archetype lone = Archetype::init(&a_resource, ArchetypeId::init(1));
    ASSERT_TRUE(lone.addComponentType(ComponentTypeId::fromId(1)));
    lone = Archetype::init(&a_resource, ArchetypeId::init(2));
    EXPECT_EQ(a_resource.liveBlocks(), 0U);
    ASSERT_TRUE(lone.addComponentType(ComponentTypeId::fromId(1)));
  }  // destructors release what deinit was not called for
  EXPECT_EQ(a_resource.liveBlocks(), 0U);
  EXPECT_EQ(b_resource.liveBlocks(), 0U);
  EXPECT_EQ(a_resource.misuses() + b_resource.misuses(), 0U);
}

TEST(ArchetypeOwnership, DeinitReleasesEverythingAndTheRegistryStaysUsable) {
  FailingResource resource;
  ArchetypeRegistry registry = ArchetypeRegistry::init(&resource);
  EXPECT_EQ(resource.allocations(), 0U);  // init allocates nothing
  const auto types = typesOf({4, 5});
  for (int i = 0; i < 5; ++i) ASSERT_TRUE(registry.createArchetype(types));
  registry.deinit();
  EXPECT_EQ(resource.liveBlocks(), 0U);
  EXPECT_EQ(registry.count(), 0U);
  auto id = registry.createArchetype(types);
  ASSERT_TRUE(id.has_value());
  EXPECT_EQ(id->id, 6U);  // ids are never reused
  registry.deinit();
  EXPECT_EQ(resource.liveBlocks(), 0U);
  EXPECT_EQ(resource.misuses(), 0U);
}

TEST(ArchetypeRegistryCreate, BracedListIsCopiedLikeAnArray) {
  ArchetypeRegistry registry = ArchetypeRegistry::init(nullptr);
  const auto listed =
      registry.createArchetype({ComponentTypeId::fromId(2), ComponentTypeId::fromId(1)});
  const auto empty = registry.createArchetype({});
  ASSERT_TRUE(listed && empty);
  const Archetype* a = registry.getArchetype(*listed);
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(std::vector<ComponentTypeId>(a->component_types.begin(), a->component_types.end()),
            typesOf({2, 1}));
  EXPECT_EQ(a->component_hash, 2199023256423ULL);
  EXPECT_TRUE(registry.getArchetype(*empty)->component_types.empty());
}

}  // namespace
