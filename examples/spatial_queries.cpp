// Many queries against one world: k nearest, within a distance, and a nearest-entity index.
#include <cmath>
#include <cstdio>
#include <memory_resource>
#include <string>
#include <vector>

#include <nemra_ecs/nemra_ecs.hpp>
#include <nemra_kernel/nemra_kernel.hpp>

int main() {
  using nemra_kernel::HomVec4;

  std::pmr::unsynchronized_pool_resource pool;
  nemra_ecs::World world = nemra_ecs::World::init(&pool);
  std::vector<std::string> names;  // the world borrows the names: keep them alive
  names.reserve(1000);
  for (int i = 0; i < 1000; ++i) {
    names.push_back("unit " + std::to_string(i));
    const nemra_ecs::EntityId id = world.createEntity(names.back()).value();
    const double angle = 0.01 * i;
    world.getEntity(id)->setPosition(
        HomVec4::fromCartesian(std::cos(angle), std::sin(angle), 0.001 * i));
  }
  const HomVec4 query = HomVec4::fromCartesian(1.0, 0.5, 0.2);

  // The 16 nearest, nearest first (equal distances in creation order), and everything within a
  // Fubini–Study distance, in creation order. Both lists come from the resource you pass.
  const auto nearest16 = world.kNearest(query, 16, &pool);
  const auto close = world.withinDistance(query, 0.15, &pool);
  if (!nearest16 || !close) return 1;
  std::printf("16 nearest from entity %llu; %zu within 0.15\n",
              static_cast<unsigned long long>(nearest16->front().id), close->size());

  // Each world call scans every entity. For many queries against a world that stays put, build
  // an index once: it answers exactly what the world answered at build time.
  const auto index = nemra_ecs::NearestIndex::build(world, &pool);
  if (!index) return 1;
  const auto first = index->nearest(query);
  const auto index16 = index->kNearest(query, 16, &pool);
  const auto index_close = index->withinDistance(query, 0.15, &pool);

  // The index is a snapshot: after entities move, appear or change state, build it again.
  const bool ok = index16 && index_close && *index16 == *nearest16 && *index_close == *close &&
                  first == world.findNearest(query) && first == nearest16->front();
  world.deinit();
  return ok ? 0 : 1;
}
