#include <cmath>
#include <cstddef>
#include <limits>
#include <memory>
#include <nemra_ecs/world.hpp>
#include <nemra_kernel/fs_distance.hpp>
#include <new>
#include <utility>

namespace nemra_ecs {

using nemra_kernel::HomVec4;

namespace {

constexpr double PI = 3.141592653589793;
constexpr std::uint64_t EXHAUSTED_ID = std::numeric_limits<std::uint64_t>::max();

// findNearest rules an entity out without taking an arc cosine when its cosine to the query lies
// more than this below the best cosine so far. The estimate of each cosine is within about 1e-15
// of the one fsDistance computes, and acos is accurate to a few ulps of π/2 (about 1e-15) with a
// slope of magnitude at least 1, so a gap of 1e-9 guarantees a strictly larger distance.
constexpr double COS_MARGIN = 1e-9;

// Squared lengths inside which the estimate is trusted: at or above the lower bound the length
// is well clear of fsDistance's zero guard (1e-15), and below the upper bound nothing overflows.
constexpr double MIN_TRUSTED_NORM2 = 1e-29;
constexpr double MAX_TRUSTED_NORM2 = 1e300;
// The query's length, likewise: length products stay finite and the unit query is accurate.
constexpr double MAX_TRUSTED_QUERY_NORM = 1e100;

// How many records ahead of the scan its position and state are requested from memory. At 208
// bytes a record the scan of a large world is bound by memory bandwidth; asking early keeps the
// loads in flight.
constexpr std::size_t PREFETCH_AHEAD = 24;

// Above this many bytes of records (more than a typical last-level cache) a world does not stay
// in the caches between two searches, so its lines are fetched without being kept in the outer
// caches. A smaller world keeps them: a non-temporal fetch there would send every search back to
// memory.
constexpr std::size_t STREAMING_BYTES = std::size_t{64} << 20;

// Visits records [0, n) in order until `visit` returns true, asking for the scanned fields of a
// record PREFETCH_AHEAD records before it is reached. Locality is __builtin_prefetch's hint.
template <int Locality, class Visit>
void scanWithPrefetch(const Entity* data, std::size_t n, Visit& visit) {
  const std::size_t prefetched_end = n > PREFETCH_AHEAD ? n - PREFETCH_AHEAD : 0;
  std::size_t i = 0;
  for (; i < prefetched_end; ++i) {
#if defined(__GNUC__)
    const Entity& ahead = data[i + PREFETCH_AHEAD];
    __builtin_prefetch(&ahead.position.x, 0, Locality);
    __builtin_prefetch(&ahead.position.w, 0, Locality);  // the position may straddle two lines
    __builtin_prefetch(&ahead.state, 0, Locality);
#endif
    if (visit(data[i])) return;
  }
  for (; i < n; ++i) {
    if (visit(data[i])) return;
  }
}

// The search exactly as stated: one fsDistance per active entity, the first strictly smaller
// distance wins.
std::optional<EntityId> literalNearest(const std::pmr::vector<Entity>& entities, HomVec4 query) {
  std::optional<EntityId> best;
  double best_distance = PI;
  for (const Entity& e : entities) {
    if (!e.isActive()) continue;
    double d = nemra_kernel::fsDistance(query, e.position);
    if (d < best_distance) {
      best_distance = d;
      best = e.id;
    }
  }
  return best;
}

}  // namespace

World::World(std::pmr::memory_resource* allocator)
    : entities(allocator != nullptr ? allocator : std::pmr::get_default_resource()),
      next_id(1),
      position_bus(EventBus<PositionChangedEvent>::init()),
      transform_bus(EventBus<TransformChangedEvent>::init()) {}

World World::init(std::pmr::memory_resource* allocator) { return World(allocator); }

World& World::operator=(World&& other) noexcept {
  // The array's allocator does not follow a move-assignment, which could then have to copy (and
  // allocate); rebuilding in place takes over other's storage and allocator without either.
  if (this != &other) {
    std::destroy_at(this);
    std::construct_at(this, std::move(other));
  }
  return *this;
}

void World::deinit() {
  std::pmr::vector<Entity> released(entities.get_allocator());
  entities.swap(released);
}

std::expected<EntityId, Error> World::createEntity(std::string_view name) {
  if (next_id == 0 || next_id == EXHAUSTED_ID) return std::unexpected(Error::IdentifiersExhausted);
  std::uint64_t id = next_id;
  ++next_id;
  Entity entity = Entity::init(id, name);
  entity.activate();
  try {
    entities.push_back(entity);
  } catch (const std::bad_alloc&) {
    return std::unexpected(Error::OutOfMemory);
  }
  return EntityId::init(id);
}

Entity* World::getEntity(EntityId id) {
  return const_cast<Entity*>(std::as_const(*this).getEntity(id));
}

const Entity* World::getEntity(EntityId id) const {
  for (const Entity& e : entities) {
    if (e.id.id == id.id) return &e;
  }
  return nullptr;
}

std::uint32_t World::activeCount() const {
  std::uint64_t count = 0;
  for (const Entity& e : entities) count += e.isActive() ? 1U : 0U;
  constexpr std::uint64_t max = std::numeric_limits<std::uint32_t>::max();
  return static_cast<std::uint32_t>(count < max ? count : max);
}

// Makes the same choice as literalNearest, ties included, while taking an arc cosine only for the
// few entities that could beat the best so far:
// - A query whose length is below 1e-15 or NaN is at distance 0 from every entity, so the first
//   active entity wins.
// - Otherwise each active entity's cosine to the query is estimated from a unit query, in squared
//   form (no square root, no division). An entity whose estimate lies more than COS_MARGIN below
//   the best one's is strictly farther (see COS_MARGIN) and cannot replace the best.
// - Every other active entity gets its real fsDistance, compared exactly as in the literal scan,
//   except one at the very position of the best, whose distance is the best distance again.
// - Once the best distance is 0 nothing can be strictly smaller, so the scan stops.
// Queries and positions outside the trusted ranges never rule an entity out.
std::optional<EntityId> World::findNearest(HomVec4 position) const {
  const std::size_t n = entities.size();
  const Entity* const data = entities.data();

  double query_norm = position.norm();
  if (!(query_norm >= nemra_kernel::ZERO_NORM_GUARD)) {
    for (std::size_t i = 0; i < n; ++i) {
      if (data[i].isActive()) return data[i].id;
    }
    return std::nullopt;
  }
  if (!(query_norm <= MAX_TRUSTED_QUERY_NORM)) return literalNearest(entities, position);

  const HomVec4 u = HomVec4::init(position.x / query_norm, position.y / query_norm,
                                  position.z / query_norm, position.w / query_norm);
  const Entity* best = nullptr;
  double best_distance = PI;
  // (best cosine − COS_MARGIN)², or 0 while nothing may be ruled out.
  double threshold2 = 0.0;

  auto visit = [&](const Entity& e) -> bool {
    const HomVec4 b = e.position;
    const double norm2 = ((b.x * b.x + b.y * b.y) + b.z * b.z) + b.w * b.w;
    const double cosine = ((u.x * b.x + u.y * b.y) + u.z * b.z) + u.w * b.w;
    const bool trusted = (norm2 >= MIN_TRUSTED_NORM2) & (norm2 <= MAX_TRUSTED_NORM2);
    const bool ruled_out = trusted & (cosine * cosine < threshold2 * norm2);
    if (!e.isActive() || ruled_out) return false;
    if (best != nullptr && b == best->position) return false;
    const double d = nemra_kernel::fsDistance(position, b);
    if (!(d < best_distance)) return false;
    best = &e;
    best_distance = d;
    if (d == 0.0) return true;
    threshold2 = 0.0;
    if (trusted) {
      const double t = std::fabs(cosine) / std::sqrt(norm2) - COS_MARGIN;
      if (t > 0.0) threshold2 = t * t;
    }
    return false;
  };

  if (n * sizeof(Entity) > STREAMING_BYTES) {
    scanWithPrefetch<0>(data, n, visit);
  } else {
    scanWithPrefetch<3>(data, n, visit);
  }
  if (best == nullptr) return std::nullopt;
  return best->id;
}

}  // namespace nemra_ecs
