#include <algorithm>
#include <cstdint>
#include <map>
#include <memory_resource>
#include <random>
#include <vector>

#include <gtest/gtest.h>

#include <nemra_ecs/entity_index.hpp>

namespace {

using nemra_ecs::detail::EntityIndex;
using nemra_ecs::detail::RowRef;

// Every id of `model` found with its row, and nothing else among `probes`.
void expectSame(const EntityIndex& index, const std::map<std::uint64_t, RowRef>& model,
                const std::vector<std::uint64_t>& probes) {
  ASSERT_EQ(index.size(), model.size());
  for (std::uint64_t id : probes) {
    const RowRef* got = index.find(id);
    const auto want = model.find(id);
    ASSERT_EQ(got != nullptr, want != model.end()) << id;
    if (got != nullptr) {
      ASSERT_EQ(got->table, want->second.table) << id;
      ASSERT_EQ(got->row, want->second.row) << id;
    }
  }
}

// Random inserts and erases over small ids, ids near the dense array's reach (which it later
// takes over from the far entries) and far ids, some of them one probe run, against a map;
// then the same contents assigned at once, and assigned with one id given twice.
TEST(EntityIndex, MatchesAMapOverRandomChangesAndAssignments) {
  std::mt19937_64 rng(11);
  std::vector<std::uint64_t> probes;
  for (std::uint64_t id = 1; id <= 600; ++id) probes.push_back(id);
  for (std::uint64_t id = 2000; id < 6000; id += 7) probes.push_back(id);
  // Multiples of the inverse of a once-fixed hash multiplier, and random far ids.
  std::uint64_t inverse = 0x9E3779B97F4A7C15ULL;
  for (int i = 0; i < 6; ++i) inverse *= 2 - 0x9E3779B97F4A7C15ULL * inverse;
  for (std::uint64_t k = 1; k <= 1500; ++k) probes.push_back(k * inverse);
  for (int i = 0; i < 1500; ++i) probes.push_back(rng() | (1ULL << 40));
  probes.push_back(~0ULL);

  EntityIndex index(std::pmr::new_delete_resource());
  std::map<std::uint64_t, RowRef> model;
  for (int step = 0; step < 40000; ++step) {
    const std::uint64_t id = probes[rng() % probes.size()];
    if (rng() % 3 != 0) {
      if (model.contains(id)) continue;
      const RowRef ref{static_cast<std::uint32_t>(rng() % 5), static_cast<std::uint32_t>(step)};
      ASSERT_TRUE(index.reserveFor(id));
      index.insert(id, ref);
      model[id] = ref;
    } else {
      index.erase(id);  // an absent id too: nothing changes
      model.erase(id);
    }
    if (step % 4000 == 0) expectSame(index, model, probes);
  }
  expectSame(index, model, probes);

  std::pmr::vector<EntityIndex::Entry> rows(std::pmr::new_delete_resource());
  for (const auto& [id, ref] : model) rows.push_back({id, ref});
  std::ranges::shuffle(rows, rng);
  rows.shrink_to_fit();  // most of the ids are far: the list becomes the far array
  const auto saved = rows;
  ASSERT_EQ(index.assign(rows), EntityIndex::Assigned::ok);
  expectSame(index, model, probes);

  // Few far ids among many small ones (the far entries then get an array of their own).
  std::map<std::uint64_t, RowRef> mostly_small;
  rows.clear();
  std::size_t nth = 0;
  for (const auto& [id, ref] : model) {
    if (id < 100000 || nth++ % 50 == 0) {
      mostly_small[id] = ref;
      rows.push_back({id, ref});
    }
  }
  ASSERT_EQ(index.assign(rows), EntityIndex::Assigned::ok);
  expectSame(index, mostly_small, probes);

  // A far id and a small id given twice, the copy next to the first (one batch) or far from it.
  for (const bool far : {true, false}) {
    for (const bool next : {true, false}) {
      rows = saved;
      const auto first = std::ranges::find_if(
          rows, [&](const EntityIndex::Entry& e) { return (e.id > 100000) == far; });
      ASSERT_NE(first, rows.end());
      const std::uint64_t twice = first->id;
      rows.insert(next ? first + 1 : rows.end(), EntityIndex::Entry{twice, {9, 9}});
      ASSERT_EQ(index.assign(rows), EntityIndex::Assigned::duplicate) << far << next;
      EXPECT_EQ(index.size(), 0U);
      EXPECT_EQ(index.find(twice), nullptr);
    }
  }
}

}  // namespace
