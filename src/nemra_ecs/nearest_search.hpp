// The vocabulary of the distance queries (World's scans and NearestIndex): the filter a query
// takes, and what the searches share — the bounds inside which a cosine estimate may rule an
// entity out, the dot product they estimate with, choosing the k nearest, and the id lists the
// queries return (the last in nemra_ecs::detail).
#include <nemra/config.hpp>

#if NEMRA_CXX23 && !defined(NEMRA_ECS_NEAREST_SEARCH_HPP)
#define NEMRA_ECS_NEAREST_SEARCH_HPP

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <memory_resource>
#include <new>
#include <numbers>
#include <span>
#include <vector>

#include <nemra_ecs/error.hpp>
#include <nemra_ecs/ids.hpp>
#include <nemra_kernel/cr_math.hpp>
#include <nemra_kernel/hom_vec4.hpp>

namespace nemra_ecs {

// The predicate of a filter that passes every entity.
struct KeepAll {
  [[nodiscard]] constexpr bool operator()(EntityId) const noexcept { return true; }
};

// Which entities a distance query looks at: every one but `skip` (the asker itself; the invalid id
// 0 skips nothing) for which keep(id) is true. `keep` is any callable taking an EntityId, held by
// value and called through its const operator(), so a query allocates nothing for it and calls it
// directly (no indirect call); it must not change the world or the index it filters, and may be
// called for any entity a query looks at, `skip` included. The answers are those of the same query
// over the entities that pass, ties included.
template <class Keep = KeepAll>
struct NearestFilter {
  EntityId skip = EntityId::invalid();
  Keep keep{};

  [[nodiscard]] constexpr bool passes(EntityId id) const {
    return id != skip && static_cast<bool>(keep(id));
  }
  // The same, with `keep` called for `skip` too: no branch between the two tests.
  [[nodiscard]] constexpr bool passesAll(EntityId id) const {
    const bool other = id != skip;
    const bool kept = static_cast<bool>(keep(id));
    return other & kept;
  }
};

// A filter that leaves out `self` and keeps what `keep` keeps.
template <class Keep = KeepAll>
[[nodiscard]] constexpr NearestFilter<Keep> excluding(EntityId self, Keep keep = {}) {
  return NearestFilter<Keep>{self, keep};
}

// The filter of every query that is given none.
inline constexpr NearestFilter<> kEveryEntity{};

}  // namespace nemra_ecs

namespace nemra_ecs::detail {

// Above every Fubini–Study distance (they lie in [0, π/2]): the distance to beat before a search
// has found anything.
inline constexpr double kAboveEveryDistance = std::numbers::pi;

// An entity whose cosine to the unit query is more than this below the cosine of the distance to
// beat is strictly farther, and its distance is not computed: the estimate is within a few 1e-16
// of fsDistance's own cosine (in any order of its sums), and acos has a slope of magnitude at
// least 1.
inline constexpr double kCosMargin = 1e-9;

// Squared lengths of positions inside which a cosine estimate is trusted: well clear of
// fsDistance's zero guard (1e-15) and of overflow. Positions outside are never ruled out by one.
inline constexpr double kMinTrustedNorm2 = 1e-29;
inline constexpr double kMaxTrustedNorm2 = 1e300;

// ((a.x·b.x + a.y·b.y) + a.z·b.z) + a.w·b.w, inline for the searches' inner loops.
[[gnu::always_inline]] inline double dot(const nemra_kernel::HomVec4& a,
                                         const nemra_kernel::HomVec4& b) {
  return ((a.x * b.x + a.y * b.y) + a.z * b.z) + a.w * b.w;
}

[[gnu::always_inline]] inline double norm2(const nemra_kernel::HomVec4& a) { return dot(a, a); }

// A query a and its length |a|, taken once per search rather than once per entity.
struct CosineQuery {
  nemra_kernel::HomVec4 at;
  double length;
};
[[nodiscard]] NEMRA_API CosineQuery cosineQuery(const nemra_kernel::HomVec4& a) noexcept;

// The cosine whose arc cosine fsDistance(a, b) is, bit for bit, for q = cosineQuery(a):
// min(|a·b| / (|a|·|b|), 1), a NaN quotient counting as 1, and 1 (distance 0) when either length
// is below the zero guard. So cr::acos(fsCosine(q, b)) is fsDistance(a, b). Out of line, so that
// no caller's floating-point flags can change its bits.
[[nodiscard]] NEMRA_API double fsCosine(const CosineQuery& q,
                                        const nemra_kernel::HomVec4& b) noexcept;

// Cosines more than this apart have arc cosines in the opposite order after rounding: acos has a
// slope of magnitude at least 1, and its results (below 2) are rounded to within 1.2e-16.
inline constexpr double kCosOrderGap = 1e-15;

// Whether an entity at cosine a (as fsCosine gives) with rank ra comes before one at cosine b with
// rank rb in the searches' order: nearer first, and of equal distances the earlier rank. Decided
// by the cosines when they are apart, by the two distances otherwise, so the order is exactly that
// of (cr::acos(cosine), rank) with an arc cosine only for near ties.
template <class Rank>
[[gnu::noinline]] bool nearerByDistance(double a, Rank ra, double b, Rank rb) {
  const double da = nemra_kernel::cr::acos(a), db = nemra_kernel::cr::acos(b);
  return da < db || (da == db && ra < rb);
}

template <class Rank>
[[nodiscard, gnu::always_inline]] inline bool nearerByCosine(double a, Rank ra, double b, Rank rb) {
  if (a > b + kCosOrderGap) return true;
  if (b > a + kCosOrderGap) return false;
  return nearerByDistance(a, ra, b, rb);
}

// Keeps the k first entries offered in Order's order (Order::Ranked: a key and a rank;
// Order::before(a, b): a comes first). Its storage, for at most min(k, most) entries, is taken
// once by the constructor, which may throw std::bad_alloc.
template <class Order>
class KFirst {
 public:
  using Ranked = typename Order::Ranked;

  KFirst(std::size_t k, std::size_t most, std::pmr::memory_resource* resource)
      : k_(k), heap_(resource) {
    heap_.reserve(std::min(k, most));
  }

  bool full() const { return heap_.size() == k_; }
  // The k-th so far; only when full.
  const Ranked& last() const { return heap_.front(); }

  // Offers an entry; true when the kept set changed.
  bool offer(double key, typename Order::Rank rank) {
    const Ranked r{key, rank};
    if (heap_.size() < k_) {
      heap_.push_back(r);  // within the reserved storage
      std::push_heap(heap_.begin(), heap_.end(), before);
      return true;
    }
    if (k_ == 0 || !Order::before(r, heap_.front())) return false;
    replaceLast(r);
    return true;
  }

  // The kept entries, first first; offer no more afterwards.
  std::span<const Ranked> sorted() {
    std::sort_heap(heap_.begin(), heap_.end(), before);
    return heap_;
  }

 private:
  // The order as a lambda, which the heap algorithms inline (a function pointer they call).
  static constexpr auto before = [](const Ranked& a, const Ranked& b) {
    return Order::before(a, b);
  };

  // The k-th (the heap's top) replaced by r, which comes before it: r sinks to its place.
  void replaceLast(const Ranked& r) {
    Ranked* const h = heap_.data();
    const std::size_t n = heap_.size();
    std::size_t at = 0;
    for (;;) {
      std::size_t child = 2 * at + 1;
      if (child >= n) break;
      if (child + 1 < n && before(h[child], h[child + 1])) ++child;
      if (!before(r, h[child])) break;
      h[at] = h[child];
      at = child;
    }
    h[at] = r;
  }

  std::size_t k_;
  std::pmr::vector<Ranked> heap_;
};

// Nearer first and of equal distances the earlier rank (the creation order, which decides ties).
// Distances are never NaN (fsDistance clamps).
template <class R>
struct DistanceOrder {
  using Rank = R;
  struct Ranked {
    double distance;
    Rank rank;
  };
  static bool before(const Ranked& a, const Ranked& b) {
    return a.distance < b.distance || (a.distance == b.distance && a.rank < b.rank);
  }
};

// The same order, decided on cosines (nearerByCosine): an arc cosine only to part near ties.
template <class R>
struct CosineOrder {
  using Rank = R;
  struct Ranked {
    double cosine;
    Rank rank;
  };
  [[gnu::always_inline]] static bool before(const Ranked& a, const Ranked& b) {
    return nearerByCosine(a.cosine, a.rank, b.cosine, b.rank);
  }
};

template <class Rank>
using KSmallest = KFirst<DistanceOrder<Rank>>;
template <class Rank>
using KNearestCosines = KFirst<CosineOrder<Rank>>;

// A query's list of ids on `out` (nullptr: the default resource), filled by fill(ids). Running out
// of memory anywhere in fill gives OutOfMemory; whatever fill allocated from `out` for working
// storage must be owned by objects it destroys, so nothing is leaked.
template <class Fill>
std::expected<std::pmr::vector<EntityId>, Error> idList(std::pmr::memory_resource* out, Fill fill) {
  try {
    std::pmr::vector<EntityId> ids(out != nullptr ? out : std::pmr::get_default_resource());
    fill(ids);
    return ids;
  } catch (const std::bad_alloc&) {
    return std::unexpected(Error::OutOfMemory);
  }
}

// kNearest's list: nothing for k = 0; otherwise offer(kept) offers every candidate to a Kept
// (KSmallest<Rank> or KNearestCosines<Rank>) of k with storage for min(k, most) entries (from
// `out`, released before the return), and the ranks kept become ids through idOf, nearest first.
template <class Rank, class Offer, class IdOf, class Kept = KSmallest<Rank>>
std::expected<std::pmr::vector<EntityId>, Error> kNearestList(std::size_t k, std::size_t most,
                                                              std::pmr::memory_resource* out,
                                                              Offer offer, IdOf idOf) {
  return idList(out, [&](std::pmr::vector<EntityId>& ids) {
    if (k == 0) return;
    Kept kept(k, most, ids.get_allocator().resource());
    offer(kept);
    const auto sorted = kept.sorted();
    ids.reserve(sorted.size());
    for (const auto& r : sorted) ids.push_back(idOf(r.rank));
  });
}

}  // namespace nemra_ecs::detail

#endif  // NEMRA_ECS_NEAREST_SEARCH_HPP
