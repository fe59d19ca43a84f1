// The world's distance queries. findNearest is a screened scan that makes the literal search's
// choice (one fsDistance per active entity, the first strictly smaller distance wins) while taking
// an arc cosine only for the few entities that could beat the best so far; kNearest and
// withinDistance are literal scans.
#include <cmath>
#include <cstddef>
#include <cstring>

#include <nemra_ecs/nearest_search.hpp>
#include <nemra_ecs/world.hpp>
#include <nemra_kernel/fs_distance.hpp>

namespace nemra_ecs {

using nemra_kernel::HomVec4;

namespace {

using detail::kAboveEveryDistance;
using detail::kCosMargin;
using detail::kMaxTrustedNorm2;
using detail::kMinTrustedNorm2;

// The longest query the screen is used for: length products stay finite and the unit query is
// accurate.
constexpr double kMaxTrustedQueryNorm = 1e100;

// How many records ahead of the scan their positions are requested from memory: a large world's
// scan is bound by memory bandwidth, and early requests keep the loads in flight.
constexpr std::size_t kPrefetchAhead = 32;

using V2 = double __attribute__((vector_size(16)));

// (x, y) and (z, w) of a position, each as one two-lane value.
[[gnu::always_inline]] inline void loadHalves(const HomVec4& p, V2& xy, V2& zw) {
  std::memcpy(&xy, &p.x, sizeof xy);
  std::memcpy(&zw, &p.z, sizeof zw);
}

// What the screen needs of the query: the unit query in two halves and the squared threshold in
// both lanes.
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
  const V2 lo = {kMinTrustedNorm2, kMinTrustedNorm2};
  const V2 hi = {kMaxTrustedNorm2, kMaxTrustedNorm2};
  // Each comparison gives a lane of all ones (true) or zeros.
  const auto out = (norm2 >= lo) & (norm2 <= hi) & (cosine * cosine < s.threshold2 * norm2);
  return static_cast<unsigned>(out[0] & 1) | static_cast<unsigned>(out[1] & 2);
}

[[gnu::always_inline]] inline void prefetchPosition(const Entity& e) {
  __builtin_prefetch(&e.position.x, 0, 3);
  __builtin_prefetch(&e.position.w, 0, 3);  // the position may straddle two lines
}

// findNearest's scan past its query checks: the query, its screen and the best entity so far.
struct NearestScan {
  HomVec4 query;
  Screen screen;
  const Entity* best = nullptr;
  double best_distance = kAboveEveryDistance;

  // The literal step for a record the screen kept: an active entity replaces the best when its
  // fsDistance is strictly smaller (one at the very position of the best cannot be). Renews the
  // screen's threshold from a new best; true once the best distance is 0, which nothing undercuts.
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
    if (norm2[0] >= kMinTrustedNorm2 && norm2[0] <= kMaxTrustedNorm2) {
      const double t = std::fabs(cosine[0]) / std::sqrt(norm2[0]) - kCosMargin;
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
                                              const Screen& screen, NearestScan& s) {
  const unsigned out = ruledOut2(data[k].position, data[k + 1].position, screen) |
                       ruledOut2(data[k + 2].position, data[k + 3].position, screen) << 2;
  if (out == 0xF) [[likely]]
    return false;
  for (std::size_t j = 0; j < 4; ++j) {
    if ((out >> j & 1U) == 0 && s.exact(data[k + j])) return true;
  }
  return false;
}

// Screens records [0, n) four at a time, requesting the positions kPrefetchAhead records further
// on meanwhile; the last n mod 4 records all take the exact step. A threshold from an earlier best
// stays valid (a later best is no farther), so a group is screened with the one from its start.
void scanRecords(const Entity* data, std::size_t n, NearestScan& s) {
  const std::size_t prefetched_end = n > kPrefetchAhead + 4 ? n - kPrefetchAhead - 4 : 0;
  const std::size_t stepped_end = n - n % 4;
  Screen screen = s.screen;
  std::size_t i = 0;
  for (; i < prefetched_end; i += 4) {
    // Written out: as a loop, GCC 12 leaves it rolled and the scan slows by a third.
    prefetchPosition(data[i + kPrefetchAhead]);
    prefetchPosition(data[i + kPrefetchAhead + 1]);
    prefetchPosition(data[i + kPrefetchAhead + 2]);
    prefetchPosition(data[i + kPrefetchAhead + 3]);
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

// One fsDistance per active entity, the first strictly smaller distance wins.
std::optional<EntityId> literalNearest(const std::pmr::vector<Entity>& entities, HomVec4 query) {
  std::optional<EntityId> best;
  double best_distance = kAboveEveryDistance;
  for (const Entity& e : entities) {
    if (!e.isActive()) continue;
    const double d = nemra_kernel::fsDistance(query, e.position);
    if (d < best_distance) {
      best_distance = d;
      best = e.id;
    }
  }
  return best;
}

}  // namespace

namespace detail {

CosineQuery cosineQuery(const HomVec4& a) noexcept { return CosineQuery{a, std::sqrt(norm2(a))}; }

// fsDistance's steps before its arc cosine, in its order.
double fsCosine(const CosineQuery& q, const HomVec4& b) noexcept {
  const double n2 = std::sqrt(norm2(b));
  if (q.length < nemra_kernel::ZERO_NORM_GUARD || n2 < nemra_kernel::ZERO_NORM_GUARD) return 1.0;
  const double d = std::fabs(dot(q.at, b)) / (q.length * n2);
  return d < 1.0 ? d : 1.0;
}

}  // namespace detail

// A query shorter than the zero guard, or NaN, is at distance 0 from every entity: the first active
// one wins. A query too long for the screen takes the literal search. Positions outside the trusted
// range never rule an entity out.
std::optional<EntityId> World::findNearest(HomVec4 position) const {
  const std::size_t n = entities.size();
  const Entity* const data = entities.data();

  const double query_norm = position.norm();
  if (!(query_norm >= nemra_kernel::ZERO_NORM_GUARD)) {
    for (std::size_t i = 0; i < n; ++i) {
      if (data[i].isActive()) return data[i].id;
    }
    return std::nullopt;
  }
  if (!(query_norm <= kMaxTrustedQueryNorm)) return literalNearest(entities, position);

  const double ux = position.x / query_norm, uy = position.y / query_norm;
  const double uz = position.z / query_norm, uw = position.w / query_norm;
  NearestScan search{
      .query = position,
      .screen = {.u_xy = V2{ux, uy}, .u_zw = V2{uz, uw}, .threshold2 = V2{0.0, 0.0}}};
  scanRecords(data, n, search);
  if (search.best == nullptr) return std::nullopt;
  return search.best->id;
}

std::expected<std::pmr::vector<EntityId>, Error> World::kNearest(
    HomVec4 query, std::size_t k, std::pmr::memory_resource* out) const {
  // Ranked by position in `entities`, which is creation order.
  return detail::kNearestList<std::size_t>(
      k, entities.size(), out,
      [&](detail::KSmallest<std::size_t>& kept) {
        for (std::size_t i = 0; i < entities.size(); ++i) {
          const Entity& e = entities[i];
          if (e.isActive()) kept.offer(nemra_kernel::fsDistance(query, e.position), i);
        }
      },
      [&](std::size_t i) { return entities[i].id; });
}

std::expected<std::pmr::vector<EntityId>, Error> World::withinDistance(
    HomVec4 query, double radius, std::pmr::memory_resource* out) const {
  return detail::idList(out, [&](std::pmr::vector<EntityId>& ids) {
    if (!(radius >= 0.0)) return;
    for (const Entity& e : entities) {
      if (e.isActive() && nemra_kernel::fsDistance(query, e.position) <= radius) {
        ids.push_back(e.id);
      }
    }
  });
}

}  // namespace nemra_ecs
