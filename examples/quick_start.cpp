// The README's example: a world, a transform, a query.
#include <cstdio>
#include <memory_resource>

#include <nemra_ecs/nemra_ecs.hpp>
#include <nemra_kernel/nemra_kernel.hpp>

int main() {
  using nemra_kernel::HomVec4;
  using nemra_kernel::PGL4;

  std::pmr::monotonic_buffer_resource arena;
  nemra_ecs::World world = nemra_ecs::World::init(&arena);

  // Two entities: a beacon placed by a transform, and a probe at a plain point.
  const nemra_ecs::EntityId beacon = world.createEntity("beacon").value();
  const nemra_ecs::EntityId probe = world.createEntity("probe").value();

  const PGL4 place =
      PGL4::mul(nemra_kernel::pglTranslate(0.0, 0.0, 5.0), nemra_kernel::pglScale(2.0, 2.0, 2.0));
  world.getEntity(beacon)->setPosition(place.apply(HomVec4::fromCartesian(1.0, 0.0, 0.0)));
  world.getEntity(probe)->setPosition(HomVec4::fromCartesian(-3.0, 4.0, 0.0));

  // The active entity nearest to a point, by Fubini–Study distance.
  const auto nearest = world.findNearest(HomVec4::fromCartesian(2.0, 0.0, 4.5));
  std::printf("nearest: entity %llu\n", static_cast<unsigned long long>(nearest->id));

  const bool ok = nearest == beacon;
  world.deinit();
  return ok ? 0 : 1;
}
