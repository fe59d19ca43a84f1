#include <algorithm>
#include <cstdint>
#include <map>
#include <random>
#include <string_view>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include <nemra_ecs/component_store.hpp>

#include "support/failing_resource.hpp"

namespace {

using nemra_ecs::ComponentStore;
using nemra_ecs::ComponentTypeId;
using nemra_ecs::EntityId;
using nemra_ecs::Error;
using nemra_ecs::Exclude;
using nemra_test::FailingResource;

// Three types of different sizes and alignments; type k holds the value v as (v, −v), v, v % 256.
struct A {
  double a;
  double b;
};
struct B {
  std::uint32_t v;
};
struct C {
  std::uint8_t c;
};
struct Unregistered {
  int x;
};

std::uint64_t valueOf(const A& a) { return static_cast<std::uint64_t>(a.a); }
std::uint64_t valueOf(const B& b) { return b.v; }
std::uint64_t valueOf(const C& c) { return c.c; }

// A literal model of the documented order: tables in creation order, rows in order of entry, a
// leaving row filled by the last one.
struct Model {
  struct Row {
    std::uint64_t entity;
    std::map<int, std::uint64_t> values;  // type 0, 1, 2 → value
  };
  struct Table {
    std::vector<int> types;
    std::vector<Row> rows;
  };
  std::vector<Table> tables;

  std::pair<int, int> find(std::uint64_t e) const {
    for (std::size_t t = 0; t < tables.size(); ++t) {
      for (std::size_t r = 0; r < tables[t].rows.size(); ++r) {
        if (tables[t].rows[r].entity == e) return {static_cast<int>(t), static_cast<int>(r)};
      }
    }
    return {-1, -1};
  }
  void place(Row row) {
    std::vector<int> types;
    for (auto& [k, v] : row.values) types.push_back(k);
    auto it = std::find_if(tables.begin(), tables.end(),
                           [&](const Table& t) { return t.types == types; });
    if (it == tables.end()) {
      tables.push_back(Table{types, {}});
      it = tables.end() - 1;
    }
    it->rows.push_back(std::move(row));
  }
  Row take(std::pair<int, int> at) {
    auto& rows = tables[static_cast<std::size_t>(at.first)].rows;
    Row row = rows[static_cast<std::size_t>(at.second)];
    rows[static_cast<std::size_t>(at.second)] = rows.back();
    rows.pop_back();
    return row;
  }
  bool set(std::uint64_t e, int type, std::uint64_t v) {
    if (e == 0) return false;
    auto at = find(e);
    if (at.first >= 0) {
      auto& row =
          tables[static_cast<std::size_t>(at.first)].rows[static_cast<std::size_t>(at.second)];
      if (row.values.contains(type)) {
        row.values[type] = v;
        return true;
      }
    }
    // The target table is created (if new) before the row leaves its old one.
    Row row =
        at.first >= 0
            ? tables[static_cast<std::size_t>(at.first)].rows[static_cast<std::size_t>(at.second)]
            : Row{e, {}};
    row.values[type] = v;
    place(row);
    if (at.first >= 0) take(at);
    return true;
  }
  // Both values at once: one move, straight to the table of the final set of types.
  void setTwo(std::uint64_t e, int t1, std::uint64_t v1, int t2, std::uint64_t v2) {
    auto at = find(e);
    Row row =
        at.first >= 0
            ? tables[static_cast<std::size_t>(at.first)].rows[static_cast<std::size_t>(at.second)]
            : Row{e, {}};
    const bool moves = !row.values.contains(t1) || !row.values.contains(t2);
    row.values[t1] = v1;
    row.values[t2] = v2;
    if (!moves) {
      tables[static_cast<std::size_t>(at.first)].rows[static_cast<std::size_t>(at.second)] = row;
      return;
    }
    place(row);
    if (at.first >= 0) take(at);
  }
  // The table of exactly `types`, made empty if missing.
  void reserve(std::vector<int> types) {
    if (std::ranges::none_of(tables, [&](const Table& t) { return t.types == types; })) {
      tables.push_back(Table{types, {}});
    }
  }
  Error remove(std::uint64_t e, int type) {
    auto at = find(e);
    if (at.first < 0) return Error::UnknownEntity;
    Row row = tables[static_cast<std::size_t>(at.first)].rows[static_cast<std::size_t>(at.second)];
    if (!row.values.contains(type)) return Error::MissingComponent;
    row.values.erase(type);
    if (!row.values.empty()) place(row);
    take(at);
    return Error::OutOfMemory;  // stands for success here
  }
};

struct Fixture {
  FailingResource resource;
  ComponentStore store = ComponentStore::init(&resource);
  Model model;
  std::uint64_t counter = 0;

  Fixture() {
    EXPECT_EQ(store.registerType<A>("A"), ComponentTypeId::fromId(1));
    EXPECT_EQ(store.registerType<B>("B"), ComponentTypeId::fromId(2));
    EXPECT_EQ(store.registerType<C>("C"), ComponentTypeId::fromId(3));
  }
};

using Seen = std::vector<std::tuple<std::uint64_t, std::uint64_t, std::uint64_t>>;

// Everything observable of the store, read through its API.
struct Dump {
  std::vector<std::vector<std::uint64_t>> archetypes;  // types, then the row count
  Seen a, b, c, ac, b_not_a;
  bool index_agrees = true;  // every row iterated is the one get finds by its entity's id
  bool operator==(const Dump&) const = default;
};

Dump dumpStore(ComponentStore& s) {
  Dump d;
  for (const auto& arch : s.archetypes().archetypes) {
    std::vector<std::uint64_t> row;
    for (ComponentTypeId t : arch.component_types) row.push_back(t.id);
    row.push_back(arch.entity_count);
    d.archetypes.push_back(row);
  }
  s.each<A>([&](EntityId e, A& x) {
    d.a.emplace_back(e.id, valueOf(x), 0);
    d.index_agrees = d.index_agrees && s.get<A>(e) == &x;
  });
  s.each<B>([&](EntityId e, B& x) {
    d.b.emplace_back(e.id, valueOf(x), 0);
    d.index_agrees = d.index_agrees && s.get<B>(e) == &x;
  });
  s.each<C>([&](EntityId e, C& x) {
    d.c.emplace_back(e.id, valueOf(x), 0);
    d.index_agrees = d.index_agrees && s.get<C>(e) == &x;
  });
  s.each<A, C>([&](EntityId e, A& x, C& y) { d.ac.emplace_back(e.id, valueOf(x), valueOf(y)); });
  s.each<B>(Exclude<A>{}, [&](EntityId e, B& x) { d.b_not_a.emplace_back(e.id, valueOf(x), 0); });
  return d;
}

Dump dumpModel(const Model& m) {
  Dump d;
  auto walk = [&](Seen& out, std::vector<int> need, int not_type) {
    for (const auto& t : m.tables) {
      bool ok =
          std::ranges::all_of(need, [&](int k) { return std::ranges::count(t.types, k) > 0; });
      if (!ok || std::ranges::count(t.types, not_type) > 0) continue;
      for (const auto& r : t.rows) {
        out.emplace_back(r.entity, r.values.at(need[0]),
                         need.size() > 1 ? r.values.at(need[1]) : 0);
      }
    }
  };
  for (const auto& t : m.tables) {
    std::vector<std::uint64_t> row;
    for (int k : t.types) row.push_back(static_cast<std::uint64_t>(k + 1));
    row.push_back(t.rows.size());
    d.archetypes.push_back(row);
  }
  walk(d.a, {0}, -1);
  walk(d.b, {1}, -1);
  walk(d.c, {2}, -1);
  walk(d.ac, {0, 2}, -1);
  walk(d.b_not_a, {1}, 0);
  return d;
}

// One random operation on both the store and the model; when `fail_at` is set the store's
// allocation number fail_at fails, and the call must then either succeed or leave the store
// exactly as it was.
bool step(Fixture& f, std::mt19937_64& rng, std::uint64_t entity) {
  const int op = static_cast<int>(rng() % 14);
  const int type = static_cast<int>(rng() % 3);
  const std::uint64_t v = ++f.counter % 200 + 1;
  const bool by_handle = v % 2 == 0;  // half the calls go through handles
  const A a{static_cast<double>(v), -static_cast<double>(v)};
  const B b{static_cast<std::uint32_t>(v)};
  const C c{static_cast<std::uint8_t>(v)};
  std::expected<void, Error> got;
  if (op < 6) {
    const EntityId e = EntityId::init(entity);
    if (by_handle) {
      if (type == 0) got = f.store.set(e, *f.store.handle<A>(), a);
      if (type == 1) got = f.store.set(e, *f.store.handle<B>(), b);
      if (type == 2) got = f.store.set(e, *f.store.handle<C>(), c);
    } else {
      if (type == 0) got = f.store.set(e, a);
      if (type == 1) got = f.store.set(e, b);
      if (type == 2) got = f.store.set(e, c);
    }
    if (got) {
      EXPECT_TRUE(f.model.set(entity, type, v));
    }
    if (!got && got.error() != Error::OutOfMemory) {
      EXPECT_EQ(got.error(), Error::UnknownEntity);
      EXPECT_EQ(entity, 0U);
    }
  } else if (op < 9) {
    const EntityId e = EntityId::init(entity);
    if (by_handle) {
      if (type == 0) got = f.store.remove(e, *f.store.handle<A>());
      if (type == 1) got = f.store.remove(e, *f.store.handle<B>());
      if (type == 2) got = f.store.remove(e, *f.store.handle<C>());
    } else {
      if (type == 0) got = f.store.remove<A>(e);
      if (type == 1) got = f.store.remove<B>(e);
      if (type == 2) got = f.store.remove<C>(e);
    }
    if (got || got.error() != Error::OutOfMemory) {
      Model copy = f.model;
      const Error expected = copy.remove(entity, type);
      EXPECT_EQ(got ? Error::OutOfMemory : got.error(), expected);
      f.model = copy;
    }
  } else if (op == 10) {
    got = f.store.shrinkToFit();  // the model does not change
  } else if (op < 13) {
    // Two types in one call, the second given first half the time.
    const EntityId e = EntityId::init(entity);
    const std::uint64_t w = v + 1;
    if (type == 0) got = f.store.set(e, a, C{static_cast<std::uint8_t>(w)});
    if (type == 1) got = f.store.set(e, B{static_cast<std::uint32_t>(w)}, a);
    if (type == 2) got = f.store.set(e, c, B{static_cast<std::uint32_t>(w)});
    if (got) {
      if (type == 0) f.model.setTwo(entity, 0, v, 2, w);
      if (type == 1) f.model.setTwo(entity, 1, w, 0, v);
      if (type == 2) f.model.setTwo(entity, 2, v, 1, w);
    } else if (got.error() != Error::OutOfMemory) {
      EXPECT_EQ(got.error(), Error::UnknownEntity);
      EXPECT_EQ(entity, 0U);
    }
  } else if (op == 13) {
    if (type == 0) got = f.store.reserve<C, A>(v);
    if (type == 1) got = f.store.reserve<B>(v);
    if (type == 2) got = f.store.reserve<A, B, C>(v);
    if (got) {
      if (type == 0) f.model.reserve({0, 2});
      if (type == 1) f.model.reserve({1});
      if (type == 2) f.model.reserve({0, 1, 2});
    }
  } else {
    got = f.store.erase(EntityId::init(entity));
    auto at = f.model.find(entity);
    EXPECT_EQ(got.has_value(), at.first >= 0);
    if (at.first >= 0) f.model.take(at);
  }
  return got || got.error() != Error::OutOfMemory;
}

std::uint64_t pickEntity(std::mt19937_64& rng) {
  const std::uint64_t r = rng() % 64;
  if (r == 0) return 0;
  if (r == 1) return 1ULL << 40;  // far ids live outside the dense index
  if (r == 2) return ~0ULL;
  if (r == 3) return 3000 + rng() % 4;
  return r % 40 + 1;
}

TEST(ComponentStoreOrder, MatchesTheLiteralModelOverRandomCalls) {
  Fixture f;
  std::mt19937_64 rng(7);
  for (int i = 0; i < 3000; ++i) {
    ASSERT_TRUE(step(f, rng, pickEntity(rng)));
    if (i % 50 == 0) {
      ASSERT_EQ(dumpStore(f.store), dumpModel(f.model)) << "after step " << i;
    }
  }
  EXPECT_EQ(dumpStore(f.store), dumpModel(f.model));
  // Entity ids up to 4000 then make the dense index grow past the ids kept apart; every lookup
  // still finds its row.
  for (std::uint64_t e = 1; e <= 4000; ++e) ASSERT_TRUE(f.store.set(EntityId::init(e), C{7}));
  for (std::uint64_t e = 1; e <= 4000; ++e) f.model.set(e, 2, 7);
  EXPECT_EQ(dumpStore(f.store), dumpModel(f.model));
  for (std::uint64_t e : {1ULL << 40, ~0ULL, 3001ULL, 17ULL}) {
    const auto at = f.model.find(e);
    EXPECT_EQ(f.store.contains(EntityId::init(e)), at.first >= 0) << e;
    const bool has_c = at.first >= 0 && f.model.tables[static_cast<std::size_t>(at.first)]
                                            .rows[static_cast<std::size_t>(at.second)]
                                            .values.contains(2);
    EXPECT_EQ(f.store.has<C>(EntityId::init(e)), has_c) << e;
  }
}

// After shrinkToFit a row costs its component and 16 bytes: two stores that differ only in
// their number of rows differ by exactly that much per row.
TEST(ComponentStoreMemory, AFittedRowCostsItsComponentAnd16Bytes) {
  std::size_t bytes[2];
  for (std::size_t k = 0; k < 2; ++k) {
    ComponentStore store = ComponentStore::init(nullptr);
    ASSERT_TRUE(store.registerType<A>("A"));
    for (std::uint64_t e = 1; e <= 1000 * (k + 1); ++e) {
      ASSERT_TRUE(store.set(EntityId::init(e), A{1.0, 2.0}));
    }
    ASSERT_TRUE(store.shrinkToFit());
    bytes[k] = store.storageBytes();
    EXPECT_EQ(store.get<A>(EntityId::init(1000 * (k + 1)))->b, 2.0);
  }
  EXPECT_EQ(bytes[1] - bytes[0], 1000 * (sizeof(A) + 16));
}

TEST(ComponentStoreOutOfMemory, EveryFailingAllocationLeavesTheStoreAsItWas) {
  Fixture f;
  std::mt19937_64 rng(11);
  for (int i = 0; i < 400; ++i) {
    const std::uint64_t entity = pickEntity(rng);
    const auto state = rng;
    const Dump before = dumpStore(f.store);
    for (std::size_t k = 0;; ++k) {
      rng = state;
      f.resource.failAllocation(k);
      const std::size_t failures = f.resource.failures();
      const bool done = step(f, rng, entity);
      f.resource.succeedAll();
      if (done) {
        ASSERT_EQ(f.resource.failures(), failures) << "succeeded through a failed allocation";
        break;
      }
      ASSERT_EQ(dumpStore(f.store), before) << "step " << i << ", allocation " << k;
    }
    ASSERT_EQ(dumpStore(f.store), dumpModel(f.model)) << "step " << i;
  }
  EXPECT_EQ(f.resource.misuses(), 0U);
  EXPECT_GT(f.resource.failures(), 50U);  // the walk did reach the failure paths
  f.store.deinit();
  EXPECT_EQ(f.resource.liveBlocks(), 0U);
}

// Components of 8, 24 and 40 bytes (the last copied by the general path) keep their values while a
// tag registered after their table exists (so that table has no recorded way to it) is given to
// and taken from entities in a shuffled order, again and again.
TEST(ComponentStoreMoves, ValuesOfEverySizeSurviveTagsOfALateType) {
  struct W8 {
    std::uint64_t v;
  };
  struct W24 {
    double v[3];
  };
  struct W40 {
    std::uint64_t v[5];
  };
  struct Late {};
  ComponentStore s = ComponentStore::init(nullptr);
  ASSERT_TRUE(s.registerType<W8>("w8") && s.registerType<W24>("w24") && s.registerType<W40>("w40"));
  constexpr std::uint64_t n = 300;
  for (std::uint64_t e = 1; e <= n; ++e) {
    const double d = static_cast<double>(e);
    ASSERT_TRUE(
        s.set(EntityId::init(e), W8{e}, W24{{d, -d, d / 2}}, W40{{e, 2 * e, 3 * e, 4 * e, 5 * e}}));
  }
  ASSERT_TRUE(s.registerType<Late>("late"));
  std::vector<std::uint64_t> order(n);
  for (std::uint64_t e = 1; e <= n; ++e) order[e - 1] = e;
  std::mt19937_64 rng(5);
  std::vector<bool> tagged(n + 1, false);
  for (int round = 0; round < 6; ++round) {
    std::ranges::shuffle(order, rng);
    for (std::uint64_t e : order) {
      if (rng() % 3 == 0) continue;
      const EntityId id = EntityId::init(e);
      ASSERT_TRUE(tagged[e] ? s.remove<Late>(id) : s.set(id, Late{}));
      tagged[e] = !tagged[e];
    }
    for (std::uint64_t e = 1; e <= n; ++e) {
      const EntityId id = EntityId::init(e);
      const double d = static_cast<double>(e);
      ASSERT_EQ(s.has<Late>(id), tagged[e]) << e;
      ASSERT_EQ(s.get<W8>(id)->v, e);
      ASSERT_EQ(s.get<W24>(id)->v[0], d);
      ASSERT_EQ(s.get<W24>(id)->v[2], d / 2);
      ASSERT_EQ(s.get<W40>(id)->v[0], e);
      ASSERT_EQ(s.get<W40>(id)->v[4], 5 * e);
    }
  }
}

TEST(ComponentStoreErrors, UnknownEntitiesAndUnregisteredTypesAreRefused) {
  Fixture f;
  const EntityId e = EntityId::init(5);
  EXPECT_EQ(f.store.registerType<A>("other"), std::unexpected(Error::DuplicateType));
  EXPECT_EQ(f.store.registerType<Unregistered>("B"), std::unexpected(Error::DuplicateType));
  EXPECT_EQ(f.store.set(e, Unregistered{1}), std::unexpected(Error::UnregisteredType));
  EXPECT_EQ(f.store.remove<Unregistered>(e), std::unexpected(Error::UnregisteredType));
  EXPECT_EQ(f.store.set(EntityId::invalid(), B{1}), std::unexpected(Error::UnknownEntity));
  EXPECT_EQ(f.store.remove<B>(e), std::unexpected(Error::UnknownEntity));
  EXPECT_EQ(f.store.erase(e), std::unexpected(Error::UnknownEntity));
  ASSERT_TRUE(f.store.set(e, B{1}));
  EXPECT_EQ(f.store.remove<A>(e), std::unexpected(Error::MissingComponent));
  EXPECT_EQ(f.store.get<Unregistered>(e), nullptr);
  EXPECT_EQ(f.store.get<A>(e), nullptr);
  EXPECT_EQ(f.store.get<B>(EntityId::init(6)), nullptr);
  ASSERT_NE(f.store.get<B>(e), nullptr);
  EXPECT_EQ(f.store.get<B>(e)->v, 1U);
  int calls = 0;
  f.store.each<B, Unregistered>([&](EntityId, B&, Unregistered&) { ++calls; });
  EXPECT_EQ(calls, 0);
  EXPECT_EQ(nemra_ecs::errorName(Error::MissingComponent), "MissingComponent");
  // A query counts rows.
  const ComponentTypeId b = *f.store.typeId<B>();
  auto q = f.store.query(nemra_ecs::QueryFilter::init({b}), nullptr);
  ASSERT_TRUE(q);
  EXPECT_EQ(q->total_entities, 1U);
}

}  // namespace
