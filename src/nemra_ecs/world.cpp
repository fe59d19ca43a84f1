#include <cmath>
#include <cstddef>
#include <cstring>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#include <limits>
#include <memory>
#include <new>
#include <utility>

#include <nemra_ecs/owning.hpp>
#include <nemra_ecs/world.hpp>
#include <nemra_kernel/fs_distance.hpp>

namespace nemra_ecs {

using nemra_kernel::HomVec4;

namespace {

constexpr double PI = 3.141592653589793;
constexpr std::uint64_t EXHAUSTED_ID = std::numeric_limits<std::uint64_t>::max();

// findNearest rules an entity out without taking an arc cosine when its cosine to the query lies
// more than this below the best cosine so far. The estimate of each cosine is within about 1e-15
// of the one fsDistance computes, and acos is accurate to a few ulps of π/2 (about 1e-15) with a
// slope of magnitude at least 1, so a gap of 1e-9 guarantees a strictly larger distance.
// The estimate's bound does not depend on the order of its sums: a sum of the four non-negative
// squares is within 3 ulps (relative) of the true length² whatever the association, and a four-term
// dot product within about 4·2⁻⁵³·Σ|uᵢbᵢ| ≤ 4·2⁻⁵³·|u|·|b| of the true one in any association, so
// the cosine estimate stays within a few 1e-16 of the true cosine either way, and fsDistance's own
// cosine likewise. The screen pairs the terms as (x, z) and (y, w) to form two lanes at once.
constexpr double COS_MARGIN = 1e-9;

// Squared lengths inside which the estimate is trusted: at or above the lower bound the length
// is well clear of fsDistance's zero guard (1e-15), and below the upper bound nothing overflows.
constexpr double MIN_TRUSTED_NORM2 = 1e-29;
constexpr double MAX_TRUSTED_NORM2 = 1e300;
// The query's length, likewise: length products stay finite and the unit query is accurate.
constexpr double MAX_TRUSTED_QUERY_NORM = 1e100;

// How many records ahead of the scan their positions are requested from memory (into all cache
// levels). At 208 bytes a record the scan of a large world is bound by memory bandwidth; asking
// early keeps the loads in flight. Only the position lines are requested: a record's state is read
// only when the screen keeps it. (A non-temporal hint for worlds larger than the last-level cache
// measured slower with this loop.)
constexpr std::size_t PREFETCH_AHEAD = 32;

using V2 = double __attribute__((vector_size(16)));

// (x, y) and (z, w) of a position, each as one two-lane value.
[[gnu::always_inline]] inline void loadHalves(const HomVec4& p, V2& xy, V2& zw) {
  std::memcpy(&xy, &p.x, sizeof xy);
  std::memcpy(&zw, &p.z, sizeof zw);
}

// What the screen of findNearest needs of the query: the unit query in two halves and the squared
// threshold in both lanes.
struct Screen {
  V2 u_xy;
  V2 u_zw;
  V2 threshold2;
};

// For the positions of two records, lane k holds the estimates for record k:
// norm2 = (x·x + z·z) + (y·y + w·w) and cosine = (ux·x + uz·z) + (uy·y + uw·w).
[[gnu::always_inline]] inline void estimate2(const HomVec4& a, const HomVec4& b, const Screen& s,
                                             V2& norm2, V2& cosine) {
  V2 a_xy, a_zw, b_xy, b_zw;
  loadHalves(a, a_xy, a_zw);
  loadHalves(b, b_xy, b_zw);
  const V2 na = a_xy * a_xy + a_zw * a_zw;
  const V2 nb = b_xy * b_xy + b_zw * b_zw;
  const V2 ca = s.u_xy * a_xy + s.u_zw * a_zw;
  const V2 cb = s.u_xy * b_xy + s.u_zw * b_zw;
  norm2 = __builtin_shufflevector(na, nb, 0, 2) + __builtin_shufflevector(na, nb, 1, 3);
  cosine = __builtin_shufflevector(ca, cb, 0, 2) + __builtin_shufflevector(ca, cb, 1, 3);
}

// Bit k set when record k of the two may be ruled out: its squared length is trusted and
// cosine² < threshold² · norm2. A NaN anywhere compares false and keeps the record.
[[gnu::always_inline]] inline unsigned ruledOut2(const HomVec4& a, const HomVec4& b,
                                                 const Screen& s) {
  V2 norm2, cosine;
  estimate2(a, b, s, norm2, cosine);
#if defined(__SSE2__)
  const __m128d trusted = _mm_and_pd(_mm_cmpge_pd(norm2, _mm_set1_pd(MIN_TRUSTED_NORM2)),
                                     _mm_cmple_pd(norm2, _mm_set1_pd(MAX_TRUSTED_NORM2)));
  const __m128d below = _mm_cmplt_pd(cosine * cosine, s.threshold2 * norm2);
  return static_cast<unsigned>(_mm_movemask_pd(_mm_and_pd(trusted, below)));
#else
  unsigned out = 0;
  for (int k = 0; k < 2; ++k) {
    const bool trusted = norm2[k] >= MIN_TRUSTED_NORM2 && norm2[k] <= MAX_TRUSTED_NORM2;
    if (trusted && cosine[k] * cosine[k] < s.threshold2[k] * norm2[k]) out |= 1U << k;
  }
  return out;
#endif
}

[[gnu::always_inline]] inline void prefetchPosition(const Entity& e) {
#if defined(__GNUC__)
  __builtin_prefetch(&e.position.x, 0, 3);
  __builtin_prefetch(&e.position.w, 0, 3);  // the position may straddle two lines
#endif
}

// The state of one search of findNearest past its query checks: the query, its screen and the
// best entity so far.
struct Search {
  HomVec4 query;
  Screen screen;
  const Entity* best = nullptr;
  double best_distance = PI;

  // The literal step for a record the screen kept: an active entity replaces the best when its
  // fsDistance is strictly smaller. An entity at the very position of the best has the best
  // distance again and is passed over. Renews the screen's threshold from a new best; true once
  // the best distance is 0, which nothing can undercut.
  [[gnu::noinline]] bool exact(const Entity& e) {
    if (!e.isActive()) return false;
    const HomVec4 b = e.position;
    if (best != nullptr && b == best->position) return false;
    const double d = nemra_kernel::fsDistance(query, b);
    if (!(d < best_distance)) return false;
    best = &e;
    best_distance = d;
    if (d == 0.0) return true;
    V2 norm2, cosine;
    estimate2(b, b, screen, norm2, cosine);
    double threshold2 = 0.0;
    if (norm2[0] >= MIN_TRUSTED_NORM2 && norm2[0] <= MAX_TRUSTED_NORM2) {
      const double t = std::fabs(cosine[0]) / std::sqrt(norm2[0]) - COS_MARGIN;
      // A positive t is at least an ulp of 1e-9, so t² · norm2 never underflows.
      if (t > 0.0) threshold2 = t * t;
    }
    screen.threshold2 = V2{threshold2, threshold2};
    return false;
  }
};

// Screens records k .. k + 3 with `screen` (a copy of s.screen kept in registers) and passes those
// it keeps to the exact step in order; true once the search is over.
[[gnu::always_inline]] inline bool screenFour(const Entity* data, std::size_t k,
                                              const Screen& screen, Search& s) {
  const unsigned out = ruledOut2(data[k].position, data[k + 1].position, screen) |
                       ruledOut2(data[k + 2].position, data[k + 3].position, screen) << 2;
  if (out == 0xF) [[likely]]
    return false;
  for (std::size_t j = 0; j < 4; ++j) {
    if ((out >> j & 1U) == 0 && s.exact(data[k + j])) return true;
  }
  return false;
}

// Screens records [0, n) four at a time, the verdicts on all four formed without a branch; only a
// step with a record the screen keeps goes through the exact step, record by record in order. The
// positions of the records Ahead further on are requested meanwhile. The last n mod 4 records all
// take the exact step.
template <std::size_t Ahead>
void scanRecords(const Entity* data, std::size_t n, Search& s) {
  const std::size_t prefetched_end = n > Ahead + 4 ? n - Ahead - 4 : 0;
  const std::size_t stepped_end = n - n % 4;
  Screen screen = s.screen;
  std::size_t i = 0;
  for (; i < prefetched_end; i += 4) {
    prefetchPosition(data[i + Ahead]);
    prefetchPosition(data[i + Ahead + 1]);
    prefetchPosition(data[i + Ahead + 2]);
    prefetchPosition(data[i + Ahead + 3]);
    if (screenFour(data, i, screen, s)) return;
    screen.threshold2 = s.screen.threshold2;
  }
  for (; i < stepped_end; i += 4) {
    if (screenFour(data, i, screen, s)) return;
    screen.threshold2 = s.screen.threshold2;
  }
  for (; i < n; ++i) {
    if (s.exact(data[i])) return;
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
    : entities(detail::resourceOrDefault(allocator)),
      next_id(1),
      position_bus(EventBus<PositionChangedEvent>::init()),
      transform_bus(EventBus<TransformChangedEvent>::init()) {}

World World::init(std::pmr::memory_resource* allocator) { return World(allocator); }

World& World::operator=(World&& other) noexcept {
  return detail::moveAssignByRebuild(*this, std::move(other));
}

void World::deinit() { detail::releaseStorage(entities); }

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
// - Otherwise each entity's cosine to the query is estimated from a unit query, in squared form
//   (no square root, no division), four records at a time. An entity whose estimate lies more than
//   COS_MARGIN below the best one's is strictly farther (see COS_MARGIN) and cannot replace the
//   best, whatever its state, so its state is not even read. A threshold taken from an earlier best
//   stays valid (a later best is no farther), so the four records of a step may all be screened
//   with the threshold from the step's start.
// - Every other entity takes the literal step: skipped unless active, then its real fsDistance
//   compared exactly as in the literal scan, except one at the very position of the best, whose
//   distance is the best distance again.
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

  const double ux = position.x / query_norm, uy = position.y / query_norm;
  const double uz = position.z / query_norm, uw = position.w / query_norm;
  Search search{.query = position,
                .screen = {.u_xy = V2{ux, uy}, .u_zw = V2{uz, uw}, .threshold2 = V2{0.0, 0.0}}};
  scanRecords<PREFETCH_AHEAD>(data, n, search);
  const Entity* best = search.best;
  if (best == nullptr) return std::nullopt;
  return best->id;
}

}  // namespace nemra_ecs
