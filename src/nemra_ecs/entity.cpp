#include <cmath>
#include <ostream>

#include <nemra_ecs/component.hpp>
#include <nemra_ecs/entity.hpp>
#include <nemra_ecs/error.hpp>
#include <nemra_ecs/ids.hpp>
#include <nemra_kernel/fs_distance.hpp>

namespace nemra_ecs {

using nemra_kernel::HomVec4;

void Entity::setPosition(HomVec4 pos) noexcept {
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

double Entity::distanceTo(const Entity& other) const noexcept {
  return nemra_kernel::fsDistance(position, other.position);
}

// Printing of the module's small records: identifiers, states and errors.

std::ostream& operator<<(std::ostream& os, EntityId id) {
  return os << "EntityId(" << id.id << ')';
}

std::ostream& operator<<(std::ostream& os, ComponentTypeId id) {
  return os << "ComponentTypeId(" << id.id << ')';
}

std::ostream& operator<<(std::ostream& os, ArchetypeId id) {
  return os << "ArchetypeId(" << id.id << ')';
}

std::ostream& operator<<(std::ostream& os, Error error) { return os << errorName(error); }

std::ostream& operator<<(std::ostream& os, EntityState state) {
  switch (state) {
    case EntityState::init:
      return os << "init";
    case EntityState::active:
      return os << "active";
    case EntityState::deactivating:
      return os << "deactivating";
    case EntityState::inactive:
      return os << "inactive";
    case EntityState::destroyed:
      return os << "destroyed";
  }
  return os << "EntityState(" << static_cast<unsigned>(state) << ')';
}

std::ostream& operator<<(std::ostream& os, ComponentState state) {
  switch (state) {
    case ComponentState::init:
      return os << "init";
    case ComponentState::active:
      return os << "active";
    case ComponentState::inactive:
      return os << "inactive";
    case ComponentState::destroyed:
      return os << "destroyed";
  }
  return os << "ComponentState(" << static_cast<unsigned>(state) << ')';
}

}  // namespace nemra_ecs
