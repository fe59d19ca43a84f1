#include <cstdint>
#include <limits>
#include <type_traits>
#include <vector>

#include <gtest/gtest.h>

#include <nemra_ecs/archetype_registry.hpp>
#include <nemra_ecs/query.hpp>

#include "support/failing_resource.hpp"

namespace {

using nemra_ecs::ArchetypeId;
using nemra_ecs::ArchetypeRegistry;
using nemra_ecs::ComponentTypeId;
using nemra_ecs::Error;
using nemra_ecs::QueryFilter;
using nemra_ecs::QueryResult;
using nemra_test::FailingResource;

std::vector<ComponentTypeId> typesOf(std::initializer_list<std::uint64_t> ids) {
  std::vector<ComponentTypeId> types;
  for (std::uint64_t id : ids) types.push_back(ComponentTypeId::fromId(id));
  return types;
}

std::vector<std::uint32_t> idsOf(const QueryResult& r) {
  std::vector<std::uint32_t> ids;
  for (ArchetypeId id : r.matching_archetypes) ids.push_back(id.id);
  return ids;
}

// Archetypes 1: {1, 2}, 2: {1, 3}, 3: {2, 3}, 4: {1, 2, 3}, 5: {} with 3, 2, 5, 1 and 4 entities.
ArchetypeRegistry sampleRegistry(std::pmr::memory_resource* resource) {
  ArchetypeRegistry registry = ArchetypeRegistry::init(resource);
  const std::vector<ComponentTypeId> lists[] = {typesOf({1, 2}), typesOf({1, 3}), typesOf({2, 3}),
                                                typesOf({1, 2, 3}), typesOf({})};
  const std::uint32_t counts[] = {3, 2, 5, 1, 4};
  for (std::size_t i = 0; i < 5; ++i) {
    auto id = registry.createArchetype(lists[i]);
    if (!id) throw std::bad_alloc();
    registry.getArchetype(*id)->entity_count = counts[i];
  }
  return registry;
}

TEST(QueryFilterMatching, RequiredAndExcludedTypes) {
  struct Row {
    const char* what;
    std::vector<ComponentTypeId> required;
    std::vector<ComponentTypeId> excluded;
    std::vector<std::uint32_t> ids;
    std::uint32_t total;
  };
  const Row rows[] = {
      {"empty filter matches all, the typeless one too", {}, {}, {1, 2, 3, 4, 5}, 15},
      {"one required type", typesOf({1}), {}, {1, 2, 4}, 6},
      {"required and excluded", typesOf({1}), typesOf({3}), {1}, 3},
      {"repeated required type", typesOf({1, 1}), {}, {1, 2, 4}, 6},
      {"repeated excluded type", typesOf({1}), typesOf({3, 3}), {1}, 3},
      {"a type both required and excluded matches nothing", typesOf({2}), typesOf({2}), {}, 0},
      {"only exclusions", {}, typesOf({1}), {3, 5}, 9},
      {"an unknown required type", typesOf({99}), {}, {}, 0},
      {"an unknown excluded type", typesOf({1, 2}), typesOf({99}), {1, 4}, 4},
      {"every type", typesOf({3, 2, 1}), {}, {4}, 1},
  };
  ArchetypeRegistry registry = sampleRegistry(nullptr);
  const auto everything = typesOf({1, 2, 3, 99});
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    QueryFilter filter = QueryFilter::initWithExclusions(row.required, row.excluded);
    auto result = registry.query(nullptr, filter);
    ASSERT_TRUE(result.has_value());
    EXPECT_EQ(idsOf(*result), row.ids);
    EXPECT_EQ(result->total_entities, row.total);
    // The optional list is carried but never consulted.
    filter.optional = everything;
    auto with_optional = registry.query(nullptr, filter);
    ASSERT_TRUE(with_optional.has_value());
    EXPECT_EQ(idsOf(*with_optional), row.ids);
    if (row.excluded.empty()) {
      auto plain = registry.query(nullptr, QueryFilter::init(row.required));
      ASSERT_TRUE(plain.has_value());
      EXPECT_EQ(idsOf(*plain), row.ids);
    }
  }
  EXPECT_TRUE(QueryFilter::init(everything).optional.empty());
  EXPECT_TRUE(QueryFilter::init(everything).excluded.empty());
}

TEST(QueryResults, EmptyRegistryGivesAnEmptyResult) {
  FailingResource resource;
  ArchetypeRegistry registry = ArchetypeRegistry::init(&resource);
  auto result = registry.query(&resource, QueryFilter::init({}));
  ASSERT_TRUE(result.has_value());
  EXPECT_TRUE(result->matching_archetypes.empty());
  EXPECT_EQ(result->total_entities, 0U);
  EXPECT_EQ(resource.allocations(), 0U);
}

TEST(QueryResults, TotalStopsAtTheMaximum) {
  ArchetypeRegistry registry = ArchetypeRegistry::init(nullptr);
  const auto types = typesOf({1});
  for (int i = 0; i < 3; ++i) {
    auto id = registry.createArchetype(types);
    ASSERT_TRUE(id.has_value());
    registry.getArchetype(*id)->entity_count = std::numeric_limits<std::uint32_t>::max() - 1;
  }
  auto result = registry.query(nullptr, QueryFilter::init(types));
  ASSERT_TRUE(result.has_value());
  EXPECT_EQ(result->matching_archetypes.size(), 3U);
  EXPECT_EQ(result->total_entities, std::numeric_limits<std::uint32_t>::max());
}

TEST(QueryResults, AreSnapshotsOnTheCallersAllocator) {
  FailingResource registry_resource;
  FailingResource result_resource;
  {
    ArchetypeRegistry registry = sampleRegistry(&registry_resource);
    const std::size_t registry_allocations = registry_resource.allocations();
    const auto required = typesOf({1});
    auto result = registry.query(&result_resource, QueryFilter::init(required));
    ASSERT_TRUE(result.has_value());
    EXPECT_EQ(registry_resource.allocations(),
              registry_allocations);  // nothing from the registry's
    EXPECT_GT(result_resource.liveBlocks(), 0U);

    // Later changes to the registry and to counts leave the result as it was.
    registry.getArchetype(ArchetypeId::init(1))->addEntity();
    ASSERT_TRUE(registry.createArchetype(required));
    registry.deinit();
    EXPECT_EQ(idsOf(*result), (std::vector<std::uint32_t>{1, 2, 4}));
    EXPECT_EQ(result->total_entities, 6U);

    result->deinit();
    EXPECT_EQ(result_resource.liveBlocks(), 0U);
  }
  EXPECT_EQ(registry_resource.liveBlocks(), 0U);
  EXPECT_EQ(registry_resource.misuses() + result_resource.misuses(), 0U);
}

// For every allocation a query makes, failing it must return OutOfMemory, leak nothing and leave
// the registry untouched — whether the result's allocator is the registry's or another one.
TEST(QueryResults, OutOfMemoryAtEveryAllocationLeaksNothing) {
  for (bool shared : {false, true}) {
    SCOPED_TRACE(shared ? "registry's allocator" : "separate allocator");
    FailingResource registry_resource;
    FailingResource separate_resource;
    FailingResource& result_resource = shared ? registry_resource : separate_resource;
    {
      ArchetypeRegistry registry = ArchetypeRegistry::init(&registry_resource);
      const auto types = typesOf({1, 2});
      for (int i = 0; i < 40; ++i) {
        ASSERT_TRUE(registry.createArchetype(types));
        registry.archetypes.back().entity_count = static_cast<std::uint32_t>(i);
      }
      const auto* registry_data = registry.archetypes.data();
      const auto required = typesOf({2});
      std::size_t failed = 0;
      for (std::size_t k = 0;; ++k) {
        ASSERT_LT(k, 64U) << "query never succeeded";
        const std::size_t live = result_resource.liveBlocks();
        result_resource.failAllocation(k);
        auto result = registry.query(&result_resource, QueryFilter::init(required));
        result_resource.succeedAll();
        EXPECT_EQ(registry.count(), 40U);
        EXPECT_EQ(registry.archetypes.data(), registry_data);
        if (result) {
          EXPECT_EQ(result->matching_archetypes.size(), 40U);
          EXPECT_EQ(result->total_entities, 780U);
          break;
        }
        ++failed;
        EXPECT_EQ(result.error(), Error::OutOfMemory);
        EXPECT_EQ(result_resource.liveBlocks(), live);
      }
      EXPECT_GE(failed, 3U);  // the list grew several times on the way to 40
      registry.deinit();
    }
    EXPECT_EQ(registry_resource.liveBlocks(), 0U);
    EXPECT_EQ(separate_resource.liveBlocks(), 0U);
    EXPECT_EQ(registry_resource.misuses() + separate_resource.misuses(), 0U);
  }
}

TEST(QueryResults, MoveOnlyAndReleasedByTheirOwner) {
  static_assert(!std::is_copy_constructible_v<QueryResult>);
  static_assert(!std::is_copy_assignable_v<QueryResult>);
  static_assert(std::is_nothrow_move_constructible_v<QueryResult>);
  static_assert(std::is_nothrow_move_assignable_v<QueryResult>);
  FailingResource resource;
  {
    ArchetypeRegistry registry = sampleRegistry(nullptr);
    auto first = registry.query(&resource, QueryFilter::init({}));
    auto second = registry.query(&resource, QueryFilter::init({}));
    ASSERT_TRUE(first && second);
    QueryResult kept = std::move(*first);
    EXPECT_TRUE(first->matching_archetypes.empty());
    kept = std::move(*second);  // the first list is released here
    EXPECT_EQ(resource.liveBlocks(), 1U);
    EXPECT_EQ(kept.matching_archetypes.size(), 5U);
  }
  EXPECT_EQ(resource.liveBlocks(), 0U);
  EXPECT_EQ(resource.misuses(), 0U);
}

// Braced lists live until the end of the full expression, which the query is part of.
TEST(QueryFilterBracedLists, SelectTheSameArchetypesAsArrays) {
  ArchetypeRegistry registry = sampleRegistry(nullptr);
  const ComponentTypeId t1 = ComponentTypeId::fromId(1), t2 = ComponentTypeId::fromId(2),
                        t3 = ComponentTypeId::fromId(3);
  auto with = registry.query(nullptr, QueryFilter::init({t1, t2}));
  auto without = registry.query(nullptr, QueryFilter::initWithExclusions({t1}, {t3}));
  ASSERT_TRUE(with && without);
  EXPECT_EQ(idsOf(*with), (std::vector<std::uint32_t>{1, 4}));
  EXPECT_EQ(idsOf(*without), (std::vector<std::uint32_t>{1}));
}

}  // namespace
