// Movement in bulk: setPosition over spans of ids and points.
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>

#include <nemra_ecs/world.hpp>

namespace nemra_ecs {

namespace {

// How many records ahead the next records are requested from memory: a pass over a large world is
// bound by memory, and early requests keep the loads in flight.
constexpr std::size_t kPrefetchAhead = 8;

// Entity::setPosition, inline and with the length taken once: the same length (HomVec4::norm's
// sums in its order), the same quotients (normalize's; its own zero guard cannot hold once the
// length is above it) and the same checks, so the same bits and the same version.
[[gnu::always_inline]] inline void setPositionOf(Entity& e, const nemra_kernel::HomVec4& p) {
  const double n = std::sqrt(((p.x * p.x + p.y * p.y) + p.z * p.z) + p.w * p.w);
  if (n > nemra_kernel::ZERO_NORM_GUARD && std::isfinite(n)) {
    const auto unit = nemra_kernel::HomVec4::init(p.x / n, p.y / n, p.z / n, p.w / n);
    if (std::isfinite(unit.x) && std::isfinite(unit.y) && std::isfinite(unit.z) &&
        std::isfinite(unit.w)) {
      e.position = unit;
    }
  }
  // Entity's version rule: one up, saturating.
  if (e.version != std::numeric_limits<std::uint64_t>::max()) ++e.version;
}

// A cursor follows the ids through `entities`: when the next id is the record after the last one
// found (ids in creation order), it is taken without getEntity's lookup. Ids are distinct and
// increase with position, so the record there holding the id is the one getEntity would give.
// visit(i, entity) is called for each id found after its position is set.
template <class Visit>
std::size_t setEach(World& world, std::span<const EntityId> ids,
                    std::span<const nemra_kernel::HomVec4> points, std::size_t n, Visit visit) {
  const std::size_t size = world.entities.size();
  Entity* const data = world.entities.data();
  std::size_t found = 0;
  std::size_t next = 0;  // the record after the last one found
  for (std::size_t i = 0; i < n; ++i) {
    Entity* e = nullptr;
    if (next < size && data[next].id == ids[i]) {
      e = &data[next];
    } else {
      e = world.getEntity(ids[i]);
      if (e == nullptr) continue;
    }
    next = static_cast<std::size_t>(e - data) + 1;
    if (next + kPrefetchAhead < size)
      __builtin_prefetch(&data[next + kPrefetchAhead].position, 1, 3);
    setPositionOf(*e, points[i]);
    visit(i, *e);
    ++found;
  }
  return found;
}

}  // namespace

std::size_t World::setPositions(std::span<const EntityId> ids,
                                std::span<const nemra_kernel::HomVec4> points) noexcept {
  return setEach(*this, ids, points, std::min(ids.size(), points.size()),
                 [](std::size_t, const Entity&) {});
}

std::size_t World::setPositions(std::span<const EntityId> ids,
                                std::span<const nemra_kernel::HomVec4> points,
                                std::span<nemra_kernel::HomVec4> stored) noexcept {
  const std::size_t n = std::min({ids.size(), points.size(), stored.size()});
  return setEach(*this, ids, points, n,
                 [&](std::size_t i, const Entity& e) { stored[i] = e.position; });
}

}  // namespace nemra_ecs
