// The questions of a world-in-motion tick, shared by bench/tick_bench.cpp and
// bench/lockstep_bench.cpp: units that each ask a NearestIndex for their kEnemies nearest enemies
// (the entities of the other team, team = id mod 2), leaving themselves out, each search started
// from the unit's answers of the last tick.
#ifndef NEMRA_BENCH_ENEMY_ASKERS_HPP
#define NEMRA_BENCH_ENEMY_ASKERS_HPP

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory_resource>
#include <span>
#include <vector>

#include <nemra_ecs/nearest_index.hpp>
#include <nemra_ecs/nearest_search.hpp>
#include <nemra_ecs/world.hpp>

namespace nemra_bench {

inline constexpr std::size_t kEnemies = 8;

// The enemies of a team: the entities of the other team (team = id mod 2).
struct Enemy {
  std::uint64_t team;
  bool operator()(nemra_ecs::EntityId id) const noexcept { return id.id % 2 != team; }
};

class EnemyAskers {
 public:
  void add(nemra_ecs::EntityId id) {
    ids_.push_back(id);
    last_.resize(ids_.size() * kEnemies);
    answered_.push_back(0);
  }
  [[nodiscard]] std::span<const nemra_ecs::EntityId> ids() const { return ids_; }
  // Asker i's answers of its last question.
  [[nodiscard]] std::span<const nemra_ecs::EntityId> lastAnswers(std::size_t i) const {
    return {last_.data() + i * kEnemies, answered_[i]};
  }

  // Every asker asks, at its position in `world`; with `seeded`, its search starts from its last
  // answers. The answers are kept and their lists taken from `scratch`; returns how many were
  // found.
  std::size_t ask(const nemra_ecs::NearestIndex& index, const nemra_ecs::World& world,
                  std::pmr::memory_resource* scratch, bool seeded = true) {
    std::size_t found = 0;
    for (std::size_t i = 0; i < ids_.size(); ++i) {
      const nemra_ecs::EntityId a = ids_[i];
      const auto enemies =
          index.kNearest(world.entities[a.id - 1].position, kEnemies,
                         seeded ? lastAnswers(i) : std::span<const nemra_ecs::EntityId>{}, scratch,
                         nemra_ecs::excluding(a, Enemy{a.id % 2}));
      if (!enemies) {
        std::fprintf(stderr, "nemra-bench: kNearest failed\n");
        std::abort();
      }
      std::ranges::copy(*enemies, last_.begin() + static_cast<std::ptrdiff_t>(i * kEnemies));
      answered_[i] = enemies->size();
      found += enemies->size();
    }
    return found;
  }

 private:
  std::vector<nemra_ecs::EntityId> ids_;
  // kEnemies a row, answered_[i] of row i in use.
  std::vector<nemra_ecs::EntityId> last_;
  std::vector<std::size_t> answered_;
};

}  // namespace nemra_bench

#endif
