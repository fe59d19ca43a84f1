// The literal distance scans every answer of the world's and the index's distance queries is held
// to, in the tests and the benchmarks: one fsDistance per active entity in creation order, written
// as plainly as the definitions read. Each takes a predicate on EntityId (the filter's).
#ifndef NEMRA_TESTS_SUPPORT_LITERAL_SCANS_HPP
#define NEMRA_TESTS_SUPPORT_LITERAL_SCANS_HPP

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

#include <nemra_ecs/world.hpp>
#include <nemra_kernel/fs_distance.hpp>

namespace nemra_test {

using nemra_ecs::Entity;
using nemra_ecs::EntityId;
using nemra_ecs::World;
using nemra_kernel::HomVec4;

// A predicate that keeps every entity.
inline bool everyEntity(EntityId) { return true; }

// The literal search: one fsDistance per active entity that `keep` keeps, the first strictly
// smaller wins.
template <class Keep = bool (*)(EntityId)>
std::optional<EntityId> literalNearest(const World& world, HomVec4 query, Keep keep = everyEntity) {
  std::optional<EntityId> best;
  double best_distance = 3.141592653589793;
  for (const Entity& e : world.entities) {
    if (!e.isActive() || !keep(e.id)) continue;
    double d = nemra_kernel::fsDistance(query, e.position);
    if (d < best_distance) {
      best_distance = d;
      best = e.id;
    }
  }
  return best;
}

// (distance, index into world.entities) of every active entity `keep` keeps, in creation order.
template <class Keep = bool (*)(EntityId)>
std::vector<std::pair<double, std::size_t>> literalDistances(const World& world, HomVec4 query,
                                                             Keep keep = everyEntity) {
  std::vector<std::pair<double, std::size_t>> out;
  for (std::size_t i = 0; i < world.entities.size(); ++i) {
    const Entity& e = world.entities[i];
    if (e.isActive() && keep(e.id))
      out.emplace_back(nemra_kernel::fsDistance(query, e.position), i);
  }
  return out;
}

// The first k of a stable sort of the active entities by distance.
template <class Keep = bool (*)(EntityId)>
std::vector<std::uint64_t> literalKNearest(const World& world, HomVec4 query, std::size_t k,
                                           Keep keep = everyEntity) {
  auto d = literalDistances(world, query, keep);
  std::sort(d.begin(), d.end());  // by distance, then creation order: a stable sort
  std::vector<std::uint64_t> ids;
  for (std::size_t i = 0; i < d.size() && i < k; ++i)
    ids.push_back(world.entities[d[i].second].id.id);
  return ids;
}

template <class Keep = bool (*)(EntityId)>
std::vector<std::uint64_t> literalWithin(const World& world, HomVec4 query, double radius,
                                         Keep keep = everyEntity) {
  std::vector<std::uint64_t> ids;
  for (const auto& [d, i] : literalDistances(world, query, keep)) {
    if (d <= radius) ids.push_back(world.entities[i].id.id);
  }
  return ids;
}

}  // namespace nemra_test

#endif
