// Movement in bulk: setPosition over spans of ids and points.
#include <cmath>
#include <cstddef>
#include <limits>

#include <nemra_ecs/world.hpp>
#include <nemra_kernel/fs_distance.hpp>

namespace nemra_ecs {

namespace {

// How many records ahead the next records are requested from memory: a pass over a large world is
// bound by memory, and early requests keep the loads in flight.
constexpr std::size_t kPrefetchAhead = 8;

// Entity::setPosition written out, so that the loop needs no call: the same length
// (((x·x + y·y) + z·z) + w·w, then the square root, as HomVec4::norm), the same refusals and the
// same divisions as HomVec4::normalize, hence the same bits; the version rises as setPosition's
// does, stopping at 2^64 − 1.
[[gnu::always_inline]] inline void setPositionInline(Entity& e, const nemra_kernel::HomVec4& p) {
  const double n = std::sqrt(((p.x * p.x + p.y * p.y) + p.z * p.z) + p.w * p.w);
  if (n > nemra_kernel::ZERO_NORM_GUARD && std::isfinite(n)) {
    const nemra_kernel::HomVec4 unit =
        nemra_kernel::HomVec4::init(p.x / n, p.y / n, p.z / n, p.w / n);
    if (std::isfinite(unit.x) && std::isfinite(unit.y) && std::isfinite(unit.z) &&
        std::isfinite(unit.w)) {
      e.position = unit;
    }
  }
  if (e.version != std::numeric_limits<std::uint64_t>::max()) ++e.version;
}

}  // namespace

// A cursor follows the ids through `entities`: when the next id is the record after the last one
// found (ids in creation order), it is taken without getEntity's lookup. Ids are distinct and
// increase with position, so the record there holding the id is the one getEntity would give.
std::size_t World::setPositions(std::span<const EntityId> ids,
                                std::span<const nemra_kernel::HomVec4> points) noexcept {
  const std::size_t n = ids.size() < points.size() ? ids.size() : points.size();
  const std::size_t size = entities.size();
  Entity* const data = entities.data();
  std::size_t found = 0;
  std::size_t next = 0;  // the record after the last one found
  for (std::size_t i = 0; i < n; ++i) {
    Entity* e = nullptr;
    if (next < size && data[next].id == ids[i]) {
      e = &data[next];
    } else {
      e = getEntity(ids[i]);
      if (e == nullptr) continue;
    }
    next = static_cast<std::size_t>(e - data) + 1;
    if (next + kPrefetchAhead < size)
      __builtin_prefetch(&data[next + kPrefetchAhead].position, 1, 3);
    e->setPosition(points[i]);
    ++found;
  }
  return found;
}

}  // namespace nemra_ecs
