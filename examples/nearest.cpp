// Nearest queries, and what the Fubini–Study distance measures.
#include <cmath>
#include <cstdio>
#include <memory_resource>

#include <nemra_ecs/nemra_ecs.hpp>
#include <nemra_kernel/nemra_kernel.hpp>

int main() {
  using nemra_kernel::HomVec4;

  std::pmr::monotonic_buffer_resource arena;
  nemra_ecs::World world = nemra_ecs::World::init(&arena);
  const nemra_ecs::EntityId at100 = world.createEntity("x = 100").value();
  const nemra_ecs::EntityId at200 = world.createEntity("x = 200").value();
  world.getEntity(at100)->setPosition(HomVec4::fromCartesian(100.0, 0.0, 0.0));
  world.getEntity(at200)->setPosition(HomVec4::fromCartesian(200.0, 0.0, 0.0));

  // The distance is the angle between the lines through the origin of R⁴ that the homogeneous
  // vectors span, not a Euclidean distance: seen from x = 140, the line of x = 200 is closer.
  const auto nearest = world.findNearest(HomVec4::fromCartesian(140.0, 0.0, 0.0));
  std::printf("nearest to x = 140: %.*s\n",
              static_cast<int>(world.getEntity(*nearest)->name.size()),
              world.getEntity(*nearest)->name.data());

  // v and -v, and every multiple of v, are the same point: their distance is 0.
  const HomVec4 v = HomVec4::init(1.0, 2.0, 3.0, 4.0);
  const double same = nemra_kernel::fsDistance(v, HomVec4::init(-2.0, -4.0, -6.0, -8.0));

  // Positions are stored at unit length, and cartesian3 reads |w| < 1e-6 as a point at infinity:
  // a point much farther than 1e6 from the origin reads back as a unit direction.
  nemra_ecs::Entity* far = world.getEntity(at200);
  far->setPosition(HomVec4::fromCartesian(3e7, 4e7, 0.0));
  const auto read_back = far->position.cartesian3();
  std::printf("(3e7, 4e7, 0) reads back as (%g, %g, %g)\n", read_back[0], read_back[1],
              read_back[2]);

  // Deactivated entities are not found.
  world.getEntity(at100)->deactivate();
  const auto only = world.findNearest(HomVec4::fromCartesian(100.0, 0.0, 0.0));

  const bool ok = nearest == at200 && same == 0.0 && std::fabs(read_back[0] - 0.6) < 1e-12 &&
                  std::fabs(read_back[1] - 0.8) < 1e-12 && only == at200 &&
                  world.activeCount() == 1;
  world.deinit();
  return ok ? 0 : 1;
}
