#include <cmath>

#include <nemra_ecs/entity.hpp>
#include <nemra_kernel/fs_distance.hpp>

namespace nemra_ecs {

using nemra_kernel::HomVec4;

void Entity::setPosition(HomVec4 pos) {
  double n = pos.norm();
  // A NaN length fails the first comparison. An infinite one (an infinite component, or finite
  // components whose squares overflow) would divide every finite component to 0 and store a
  // vector that names no point, or NaN that sits at distance 0 from every query.
  if (n > nemra_kernel::ZERO_NORM_GUARD && std::isfinite(n)) {
    HomVec4 unit = pos.normalize();
    if (std::isfinite(unit.x) && std::isfinite(unit.y) && std::isfinite(unit.z) &&
        std::isfinite(unit.w)) {
      position = unit;
    }
  }
  bumpVersion();
}

double Entity::distanceTo(const Entity& other) const {
  return nemra_kernel::fsDistance(position, other.position);
}

}  // namespace nemra_ecs
