// NearestIndex: a world's active entities arranged for the world's distance queries (findNearest,
// kNearest, withinDistance, each with an optional filter) without scanning every entity, kept
// current as entities move, appear, disappear or change state.
#include <nemra/config.hpp>

#if NEMRA_CXX23 && !defined(NEMRA_ECS_NEAREST_INDEX_HPP)
#define NEMRA_ECS_NEAREST_INDEX_HPP

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <functional>
#include <limits>
#include <memory_resource>
#include <new>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include <nemra_ecs/error.hpp>
#include <nemra_ecs/ids.hpp>
#include <nemra_ecs/nearest_search.hpp>
#include <nemra_ecs/world.hpp>
#include <nemra_kernel/fs_distance.hpp>
#include <nemra_kernel/hom_vec4.hpp>

namespace nemra_ecs {

namespace detail {

// A ball of NearestIndex's tree: a unit centre, a Fubini–Study radius no smaller than the computed
// distance from the centre to any of its entities (up to the margin the searches allow for), the
// cosine and sine of a radius between that distance and `radius`, and for a leaf the cosine of
// the largest radius a refit lets it grow to (an entity moved beyond it leaves the tree for the
// scanned list).
struct IndexBall {
  nemra_kernel::HomVec4 centre;
  double radius;
  double cos_radius;
  double sin_radius;
  double cos_cap;
};

// An entity as a build or an arrangement orders it: its unit position, turned to one side (of the
// parent ball's centre below the root), in single precision (enough to choose where to halve), and
// where it came from.
struct TreeEntry {
  float unit[4];
  std::uint32_t rank;
};

// What a search does with a ball: skip it, take every entity in it without a distance, or search
// inside it (its children, or a leaf's entries one by one).
enum class BallAction { skip, takeAll, searchInside };

// The tests a search prunes with, for a limit distance L: the best so far, the k-th so far or the
// radius. With no limit nothing is pruned. A ball is skipped when the cosine c between its centre
// and the unit query is below cos(L + margin + radius) − slack: the true angle to the centre then
// exceeds L + margin + radius, so every entity's true distance exceeds L + margin − 1e-7 (the
// radius's own error) and its computed one exceeds L.
class NEMRA_API SearchLimit {
 public:
  void set(double limit) noexcept;
  // The same for L = acos c, c a cosine as fsCosine gives (the nearest or k-th nearest so far),
  // without an arc cosine: cos(L + margin) and sin(L + margin) by the angle sum, with sin L from
  // c. Their errors, a few 1e-16, are inside kCosSlack; the screen rules out a cosine more than
  // kCosMargin below c, which is strictly farther (kCosOrderGap).
  void setCosine(double c) noexcept;

  [[nodiscard]] bool beyond(double cosine, const IndexBall& b) const noexcept {
    return cosine < (cos_ * b.cos_radius - sin_ * b.sin_radius) - kCosSlack;
  }
  // Whether the entity at p (in the tree, so of trusted length) is farther than L, from its
  // cosine to the unit query.
  [[nodiscard]] bool screened(const nemra_kernel::HomVec4& p,
                              const nemra_kernel::HomVec4& unit) const noexcept {
    const double c = dot(p, unit);
    return c * c < screen2_ * norm2(p);
  }

  // Covers the rounding of c (2e-15) and of the bound (1e-15).
  static constexpr double kCosSlack = 1e-14;
  static constexpr double kMargin = 5e-7;

 private:
  double cos_ = -2.0;
  double sin_ = 0.0;
  double screen2_ = 0.0;
};

// withinDistance's test for taking a ball whole: cos and sin of radius − margin when that is
// positive and the radius below 2 (above every distance: then every ball is taken whole).
struct NEMRA_API WithinBounds {
  bool take_whole = false;
  double cos_inner = 2.0;
  double sin_inner = 0.0;
  [[nodiscard]] static WithinBounds of(double radius) noexcept;
};

}  // namespace detail

// The ids and positions of a world's active entities, arranged in a tree of balls of P³ (each a
// centre and a Fubini–Study radius) and a short list that every search scans. Every answer is the
// world's own scan's over the entities the index holds, ties included (the lower id, which is the
// earlier created, wins): a ball or an entity is skipped only when it is provably farther, with a
// margin that covers rounding, and every other entity is decided by its fsDistance (compared
// through the cosine fsDistance takes the arc cosine of, and the two distances where cosines come
// within 1e-15 of each other). A query too short,
// too long or not finite, and entities whose positions are outside the range the bounds cover
// (not finite, or too short or long), are scanned.
//
// Keeping it current. update(id, position) holds the entity at the position (inserting it when
// absent), erase(id) lets it go, and refit(world) makes the index hold exactly the world's active
// entities at their positions, finding what changed by comparing ids, states and position bits.
// The batch update with the positions World::setPositions hands back follows a movement without
// reading the world again. After any sequence of these the answers are those of build over the
// same entities: the order the changes came in does not matter. An entity that moves stays in its
// leaf, whose radius is refitted from its entries; an ancestor's radius is bounded through its
// leaves (the leaf's radius plus a stored bound on the angle between the two centres), so no ball
// is re-centred and a refit takes no arc cosine. An entity that moves beyond the larger of four
// times its leaf's radius, twice its parent's and sixteen times the mean leaf radius (all as
// arranged: a jump), an inserted one, and one whose position leaves the trusted range go to the
// scanned list instead; erased entities leave gaps in the tree. A build leaves one gap in every
// leaf, and at each refit a listed entity moves into a gap of one of the 16 leaves nearest it
// whose cap holds it: entities that keep jumping (near the origin of R³ a small step is a long arc
// of P³) come back into the tree instead of filling the list.
//
// Drift. Entities that drift apart make every search visit more. A subtree whose leaves' radii, in
// sum, or whose own radius has grown by a quarter since it was arranged, and whose entities have
// moved sixteen times over since, is arranged again in place, as a build would arrange its entries
// (the highest such subtree; its slots stay the same, so nothing above it moves), its leaves'
// radii taken from their entries and the balls above them bounded through them. Each arrangement
// of m entries, O(m log m), is paid for by at least 16m moves: a step of every entity costs a pass
// and, on average, at most a sixteenth of the arrangements a build makes.
//
// When it is built again. The index builds itself again from its own contents when the scanned
// list has used its room (64 entries and one per 1024 of the tree) and the leaves took back less
// than half of it at the last refit, or when a quarter of the tree are gaps; an entity that
// leaves its leaf while the list is full stays in it, whose radius grows (in a world of 1e6
// entities drifting as a game's do, bursts of such entities filled the list every 15 ticks or so
// and each rebuild took as long as 10 ticks' upkeep). So a query scans no more than the list and
// the tree, whose balls the arrangements keep near a build's, jumps and churn cost at most a
// rebuild per room's worth of changes, and no upkeep call costs more than a rebuild and a pass.
// A rebuild or an arrangement that runs out of memory there is left for a later call (the index
// stays correct, only slower); the calls that report OutOfMemory leave the index exactly as it
// was.
//
// Memory. Per entity held: a position (32 bytes), its id in the tree (8), its id and slot in the
// directory (12); per leaf of 8 to 16 entities, a spare slot (40 bytes), and per leaf and per ball
// above it 96 bytes and a flag, and per leaf one 8-byte bound per level above it; and room for the
// scanned list. Measured after a build: 72 to 85 bytes per entity from 1e3 to 1e6 entities. A
// build needs in addition about 24 bytes per entity for the arrangement, released before it
// returns (a peak of 83 to 90 bytes per entity). Arranging a subtree again needs working storage
// of 68 bytes per entry it holds, which the index keeps for the next arrangement (as much as the
// largest so far): a drifting world's arrangements then seldom allocate and never touch fresh
// pages (at 1e5 entities drifting a step a tick, where the whole tree is arranged every sixteen
// ticks or so, freeing it after each arrangement made the upkeep a third slower). So an index
// whose whole tree has been arranged again holds up to 68 bytes per entity more, 140 to 153 in
// all; it lets that storage go before it builds itself again, and deinit releases it. An upkeep
// call allocates nothing unless the directory grows (by doubling), a subtree larger than any
// before is arranged again, or the index is built again, when the old index is released only
// after the new one is complete: that peak is the two side by side, about 160 bytes per entity.
// Ids let go since the last build keep their directory entry (12 bytes) so that they come back
// without moving the directory.
//
// Owns its storage (from the allocator given to init or build). Move-only.
class NEMRA_API NearestIndex {
 public:
  // An empty index on `allocator` (nullptr means std::pmr::get_default_resource()): every query
  // finds nothing. Allocates nothing and cannot fail.
  [[nodiscard]] static NearestIndex init(std::pmr::memory_resource* allocator) noexcept;

  // The index of `world`'s active entities. Error: OutOfMemory (also for more than 4294967294
  // active entities); nothing is leaked and the world is not changed.
  [[nodiscard]] static std::expected<NearestIndex, Error> build(
      const World& world, std::pmr::memory_resource* allocator);

  // Takes over other's storage and allocator; other is left empty (every query finds nothing).
  NearestIndex(NearestIndex&& other) noexcept;
  // Releases this index's storage and takes over other's, allocator included.
  NearestIndex& operator=(NearestIndex&& other) noexcept;
  NearestIndex(const NearestIndex&) = delete;
  NearestIndex& operator=(const NearestIndex&) = delete;
  ~NearestIndex() = default;

  // Releases the storage; the index is then empty and may be used again.
  void deinit();

  // The number of entities held.
  [[nodiscard]] std::size_t size() const noexcept { return held_; }
  [[nodiscard]] bool contains(EntityId id) const noexcept;

  // --- Keeping it current ---
  // Holds entity `id` at `position` (any vector; the world stores setPosition's unit ones),
  // inserting it when absent. The invalid id 0 is refused (false). Amortised O(log n) for an
  // entity already held; inserting an id below the highest held that was never held since the
  // last build moves the directory (O(n)). Error: OutOfMemory (the index is as it was).
  [[nodiscard]] std::expected<bool, Error> update(EntityId id, nemra_kernel::HomVec4 position);
  // update(ids[i], positions[i]) for every i below min(ids.size(), positions.size()), in order,
  // the refit done once for all. Returns how many were held (id 0 is skipped). Error: OutOfMemory
  // (the index is as it was).
  [[nodiscard]] std::expected<std::size_t, Error> update(
      std::span<const EntityId> ids, std::span<const nemra_kernel::HomVec4> positions);
  // Lets entity `id` go; false when it was not held. Allocates nothing.
  bool erase(EntityId id) noexcept;
  // Holds exactly `world`'s active entities at their positions: moves those whose position bits
  // changed, inserts the newly active, erases the others. O(n) for the comparison plus the changes.
  // The world's ids must be increasing (World's invariant). Error: OutOfMemory (the index is as it
  // was).
  [[nodiscard]] std::expected<void, Error> refit(const World& world);

  // --- Queries ---
  // World::findNearest over the entities held that pass `filter`.
  template <class Keep = KeepAll>
  [[nodiscard]] std::optional<EntityId> nearest(nemra_kernel::HomVec4 query,
                                                const NearestFilter<Keep>& filter = {}) const;
  // World::kNearest over the entities held that pass `filter`. The list, and working storage for
  // min(k, size()) entries released before the return, come from `out` (nullptr means the default
  // resource). Error: OutOfMemory.
  template <class Keep = KeepAll>
  [[nodiscard]] std::expected<std::pmr::vector<EntityId>, Error> kNearest(
      nemra_kernel::HomVec4 query, std::size_t k, std::pmr::memory_resource* out,
      const NearestFilter<Keep>& filter = {}) const;
  // The same answers, the search started from `seeds`: entities the caller expects near the
  // query, such as an asker's answers of the last tick in a world that moves a little a tick. When
  // k or more distinct seeds are held (at positions of trusted length) and pass the filter, the
  // search skips from the start every ball farther than the k-th nearest of them, instead of
  // narrowing down from the first leaves it reaches. Other seeds count for nothing, and neither
  // the answers nor the error depend on the seeds: more than 32 seeds take working storage (12
  // bytes each) from `out`, and when it cannot be had the search starts without them.
  template <class Keep = KeepAll>
  [[nodiscard]] std::expected<std::pmr::vector<EntityId>, Error> kNearest(
      nemra_kernel::HomVec4 query, std::size_t k, std::span<const EntityId> seeds,
      std::pmr::memory_resource* out, const NearestFilter<Keep>& filter = {}) const;
  // World::withinDistance over the entities held that pass `filter`. The list, and working storage
  // for the entities found released before the return, come from `out`. Error: OutOfMemory.
  template <class Keep = KeepAll>
  [[nodiscard]] std::expected<std::pmr::vector<EntityId>, Error> withinDistance(
      nemra_kernel::HomVec4 query, double radius, std::pmr::memory_resource* out,
      const NearestFilter<Keep>& filter = {}) const;

 private:
  explicit NearestIndex(std::pmr::memory_resource* allocator);

  template <class Source>
  static NearestIndex buildFrom(std::pmr::memory_resource* allocator, std::size_t count,
                                const Source& source);
  std::expected<NearestIndex, Error> rebuilt(std::size_t extra_room) const;
  void rebuildIfWorn(const World* world = nullptr) noexcept;
  void releaseArrangementStorage() noexcept;
  std::expected<void, Error> makeRoom(std::size_t new_ids, std::size_t to_list);
  std::size_t findInDirectory(std::uint64_t id, std::size_t hint) const noexcept;
  void place(std::size_t r, std::uint64_t id, const nemra_kernel::HomVec4& position);
  void moveToList(std::size_t slot);
  void markMoved(std::size_t slot) noexcept;
  void rehome() noexcept;
  void letGo(std::size_t r) noexcept;
  void refitTree() noexcept;
  void refitLeaf(std::size_t ball, std::size_t begin, std::size_t end) noexcept;
  void raiseAncestors(std::size_t leaf) noexcept;
  void refitAncestors(std::size_t b = 0, std::size_t level = 0) noexcept;
  std::pair<std::size_t, std::size_t> entriesOf(std::size_t b, std::size_t level) const noexcept;
  std::pair<std::size_t, std::size_t> leavesOf(std::size_t b, std::size_t level) const noexcept;
  void setLeafOffsets(std::size_t b, std::size_t level) noexcept;
  void recordArrangement(std::size_t b, std::size_t level) noexcept;
  void rearrange(std::size_t b, std::size_t level) noexcept;
  void boundRadii(std::size_t b, std::size_t level, std::span<const double> inverse_norms) noexcept;
  void rearrangeWorn(std::size_t b, std::size_t level, std::size_t begin, std::size_t end,
                     bool everything) noexcept;
  void clearMarks(std::size_t b, std::size_t level) noexcept;
  void widenCaps(std::size_t b, std::size_t level) noexcept;

  template <class Visitor>
  void visit(nemra_kernel::HomVec4 query, Visitor& visitor) const;
  template <class Keep>
  std::optional<double> seedLimit(const detail::CosineQuery& query, std::size_t k,
                                  std::span<const EntityId> seeds,
                                  const NearestFilter<Keep>& filter,
                                  std::pmr::memory_resource* scratch) const;

  static constexpr std::uint32_t kNone = std::numeric_limits<std::uint32_t>::max();

  // The directory: the ids held, or held since the last build, increasing, and the slot of each
  // (kNone when not held).
  std::pmr::vector<std::uint64_t> ids_;
  std::pmr::vector<std::uint32_t> slots_;
  // By slot: the tree's entries first (in leaf order), then the scanned list. An id of 0 is a gap
  // left by an entity erased from, or moved out of, the tree.
  std::pmr::vector<nemra_kernel::HomVec4> positions_;
  std::pmr::vector<std::uint64_t> slot_ids_;
  // A complete binary tree in heap order (the children of ball b are 2b + 1 and 2b + 2); ball b
  // covers a range of the tree's entries, halved at each level, and the leaves are the last
  // 2^depth_ balls. dirty_ marks the balls a refit must visit.
  std::pmr::vector<detail::IndexBall> balls_;
  // For leaf j (ball 2^depth_ − 1 + j) and level l below depth_, an upper bound on the angle from
  // the centre of its ancestor at level l to its own: what a refit bounds the ancestors' radii
  // with.
  std::pmr::vector<double> leaf_offsets_;
  // By ball: its radius when its subtree was last arranged (at least the bound through its leaves),
  // and the sum of its leaves' radii, now and then. A subtree is arranged again once either has
  // grown by a quarter.
  std::pmr::vector<double> built_radii_;
  // By ball: how many moves of its entities were seen since it was arranged.
  std::pmr::vector<std::uint64_t> moves_;
  std::pmr::vector<double> leaf_sums_;
  std::pmr::vector<double> built_sums_;
  std::pmr::vector<std::uint8_t> dirty_;
  // rearrange's working storage, kept between arrangements: the entries it orders, their inverse
  // lengths by slot, and the positions and ids of the subtree's slots as they were.
  std::pmr::vector<detail::TreeEntry> arranged_;
  std::pmr::vector<double> arranged_inverse_norms_;
  std::pmr::vector<nemra_kernel::HomVec4> arranged_positions_;
  std::pmr::vector<std::uint64_t> arranged_ids_;
  std::size_t tree_size_ = 0;
  std::size_t depth_ = 0;
  std::size_t held_ = 0;
  std::size_t gaps_ = 0;
  // The gaps a build leaves, one spare slot per leaf.
  std::size_t spare_ = 0;
  // The scanned list's length at which the index is built again.
  std::size_t list_limit_ = 0;
  // The scanned list's length after the last rehome: the entities no leaf took back.
  std::size_t unhomed_ = 0;
  // Entities moved inside the tree since the last refit, and whether every ball is to be refitted.
  std::size_t moved_ = 0;
  bool refit_all_ = false;
  // The cosine of the angle every leaf may grow to before its entities are listed.
  double cos_cap_floor_ = 1.0;
  bool any_dirty_ = false;
};

// The directory position of `id` (ids_.size() when it is not there), tried first at `hint`: ids
// created without gaps sit at id - 1.
inline std::size_t NearestIndex::findInDirectory(std::uint64_t id,
                                                 std::size_t hint) const noexcept {
  const std::size_t n = ids_.size();
  if (hint < n && ids_[hint] == id) return hint;
  const auto at = std::lower_bound(ids_.begin(), ids_.end(), id);
  if (at != ids_.end() && *at == id) return static_cast<std::size_t>(at - ids_.begin());
  return n;
}

// --- Queries ---

namespace detail {

// What the three searches' visitors share: the stored entities, the filter, the limit they prune
// with, and balls skipped or searched inside.
template <class Keep>
struct PruningVisitor {
  const nemra_kernel::HomVec4* positions;
  const std::uint64_t* ids;
  const NearestFilter<Keep>* filter;
  SearchLimit limit{};

  [[nodiscard]] BallAction actOn(double cosine, const IndexBall& b) const {
    return limit.beyond(cosine, b) ? BallAction::skip : BallAction::searchInside;
  }
  void inside(std::size_t) {}
  // Whether the entry at i is a gap, is filtered out, or is known to lie beyond the limit without
  // its distance. `unit` is the unit query for an entry to screen, nullptr for one not to be
  // screened (a scanned one outside the trusted range, or any entry of a query the bounds do not
  // cover).
  [[nodiscard]] bool passedOver(std::size_t i, const nemra_kernel::HomVec4* unit) const {
    if (ids[i] == 0 || !admitted(i)) return true;
    return unit != nullptr && limit.screened(positions[i], *unit);
  }
  // Whether the entity at i (not a gap) passes the filter, decided without a branch between the
  // filter's two tests: a search marks a leaf's entries kept or passed over without branching on
  // the answers, as a filter that keeps about half of them would mispredict about half the time.
  [[nodiscard]] bool admitted(std::size_t i) const {
    return filter->passesAll(EntityId::init(ids[i]));
  }
};

// The two keep the entities' cosines to the query (fsCosine) and order them by nearerByCosine,
// so an arc cosine is taken only between near ties, and the limit follows every change of the
// best (or k-th) for the price of a square root.
template <class Keep>
struct NearestVisitor : PruningVisitor<Keep> {
  CosineQuery query;
  double best = -1.0;
  std::uint64_t best_id = 0;  // none yet

  void entry(std::size_t i, const nemra_kernel::HomVec4& q, const nemra_kernel::HomVec4* unit) {
    if (!this->passedOver(i, unit)) take(i, q);
  }
  void take(std::size_t i, const nemra_kernel::HomVec4&) {
    const double c = fsCosine(query, this->positions[i]);
    const std::uint64_t id = this->ids[i];
    if (best_id == 0 || nearerByCosine(c, id, best, best_id)) {
      best = c;
      best_id = id;
      this->limit.setCosine(c);
    }
  }
};

template <class Keep>
struct KNearestVisitor : PruningVisitor<Keep> {
  KNearestCosines<std::uint64_t>* kept;
  CosineQuery query;

  void entry(std::size_t i, const nemra_kernel::HomVec4& q, const nemra_kernel::HomVec4* unit) {
    if (!this->passedOver(i, unit)) take(i, q);
  }
  void take(std::size_t i, const nemra_kernel::HomVec4&) {
    if (kept->offer(fsCosine(query, this->positions[i]), this->ids[i]) && kept->full()) {
      this->limit.setCosine(kept->last().cosine);
    }
  }
};

// Collects the ids of the entities within `radius`, to be sorted afterwards.
template <class Keep>
struct WithinVisitor : PruningVisitor<Keep> {
  double radius = 0.0;
  std::pmr::vector<EntityId>* found = nullptr;
  WithinBounds bounds{};

  [[nodiscard]] BallAction actOn(double cosine, const IndexBall& b) const {
    if (bounds.take_whole) return BallAction::takeAll;
    if (this->limit.beyond(cosine, b)) return BallAction::skip;
    if (radius - SearchLimit::kMargin - b.radius > 0.0 &&
        cosine > (bounds.cos_inner * b.cos_radius + bounds.sin_inner * b.sin_radius) +
                     SearchLimit::kCosSlack) {
      return BallAction::takeAll;
    }
    return BallAction::searchInside;
  }
  void inside(std::size_t i) {
    const std::uint64_t id = this->ids[i];
    if (id != 0 && this->filter->passes(EntityId::init(id))) found->push_back(EntityId::init(id));
  }
  void entry(std::size_t i, const nemra_kernel::HomVec4& query, const nemra_kernel::HomVec4* unit) {
    if (!this->passedOver(i, unit)) take(i, query);
  }
  void take(std::size_t i, const nemra_kernel::HomVec4& query) {
    if (nemra_kernel::fsDistance(query, this->positions[i]) <= radius) {
      found->push_back(EntityId::init(this->ids[i]));
    }
  }
};

// Below kMinQueryNorm2 or above kMaxQueryNorm2 a query's squared length is outside the range the
// tree's bounds cover, and the search sees every entry.
inline constexpr double kMinQueryNorm2 = 1e-28;
inline constexpr double kMaxQueryNorm2 = 1e200;

}  // namespace detail

// Passes every entry that may matter to the visitor: visitor.actOn(cosine to the ball's centre,
// ball) says whether a ball is skipped, taken whole (visitor.inside(i) for each entry) or searched
// inside, down to its leaves, whose entries the search screens itself: visitor.admitted(i) for
// each near one that is not a gap, visitor.take(i, ...) for those admitted. The scanned list's
// entries, and every entry of a query the bounds do not cover, go to visitor.entry(i, ...).
template <class Visitor>
void NearestIndex::visit(nemra_kernel::HomVec4 query, Visitor& visitor) const {
  using nemra_kernel::HomVec4;
  const std::size_t n = positions_.size();
  const double q2 = detail::norm2(query);
  const bool bounded = q2 >= detail::kMinQueryNorm2 && q2 <= detail::kMaxQueryNorm2;
  if (!bounded) {
    for (std::size_t i = 0; i < n; ++i) visitor.entry(i, query, nullptr);
    return;
  }
  const double s = 1.0 / std::sqrt(q2);
  const HomVec4 unit = HomVec4::init(query.x * s, query.y * s, query.z * s, query.w * s);
  // The scanned list, after the tree (whose entries tighten the limit first); its entries of
  // trusted length may be screened like the tree's.
  const auto scanList = [&] {
    for (std::size_t i = tree_size_; i < n; ++i) {
      const double p2 = detail::norm2(positions_[i]);
      const bool trusted = p2 >= detail::kMinTrustedNorm2 && p2 <= detail::kMaxTrustedNorm2;
      visitor.entry(i, query, trusted ? &unit : nullptr);
    }
  };
  if (tree_size_ == 0) {
    scanList();
    return;
  }
  // Depth first, the nearer child first: the search goes down into it and leaves the other on the
  // stack (at most one per level; the fields apart, so each is stored and loaded whole).
  std::uint32_t stack_ball[64], stack_begin[64], stack_end[64];
  double stack_cosine[64];
  std::size_t top = 0;
  const std::size_t first_leaf = (std::size_t{1} << depth_) - 1;
  std::size_t b = 0, begin = 0, end = tree_size_;
  double cosine = std::fabs(detail::dot(balls_[0].centre, unit));
  for (;;) {
    const detail::BallAction action = visitor.actOn(cosine, balls_[b]);
    if (action == detail::BallAction::searchInside && b < first_leaf) {
      const std::size_t mid = begin + (end - begin) / 2;
      const std::size_t l = 2 * b + 1;
      const double cl = std::fabs(detail::dot(balls_[l].centre, unit));
      const double cr = std::fabs(detail::dot(balls_[l + 1].centre, unit));
      // Selected rather than branched on: which child is nearer is a coin toss.
      const bool right = cr > cl;
      const std::size_t far_begin = right ? begin : mid;
      const std::size_t far_end = right ? mid : end;
      stack_ball[top] = static_cast<std::uint32_t>(right ? l : l + 1);
      stack_begin[top] = static_cast<std::uint32_t>(far_begin);
      stack_end[top] = static_cast<std::uint32_t>(far_end);
      stack_cosine[top] = right ? cl : cr;
      ++top;
      b = right ? l + 1 : l;
      begin = right ? mid : begin;
      end = right ? end : mid;
      cosine = right ? cr : cl;
      continue;
    }
    if (action == detail::BallAction::takeAll) {
      for (std::size_t i = begin; i < end; ++i) visitor.inside(i);
    } else if (action == detail::BallAction::searchInside) {
      // A leaf: its entries screened first, into a mask without a branch per entry (gaps left
      // out); those near enough are filtered into a second mask, and those kept handed on. A
      // leaf holds at most 64 entries.
      std::uint64_t near = 0;
      for (std::size_t i = begin; i < end; ++i) {
        const bool close = !visitor.limit.screened(positions_[i], unit);
        const bool entity = slot_ids_[i] != 0;
        near |= static_cast<std::uint64_t>(close & entity) << (i - begin);
      }
      std::uint64_t kept = 0;
      for (; near != 0; near &= near - 1) {
        const int at = std::countr_zero(near);
        kept |= static_cast<std::uint64_t>(visitor.admitted(begin + static_cast<std::size_t>(at)))
                << at;
      }
      for (; kept != 0; kept &= kept - 1) {
        visitor.take(begin + static_cast<std::size_t>(std::countr_zero(kept)), query);
      }
    }
    if (top == 0) break;
    --top;
    b = stack_ball[top];
    begin = stack_begin[top];
    end = stack_end[top];
    cosine = stack_cosine[top];
  }
  scanList();
}

template <class Keep>
std::optional<EntityId> NearestIndex::nearest(nemra_kernel::HomVec4 query,
                                              const NearestFilter<Keep>& filter) const {
  detail::NearestVisitor<Keep> visitor{{positions_.data(), slot_ids_.data(), &filter},
                                       detail::cosineQuery(query)};
  visit(query, visitor);
  if (visitor.best_id == 0) return std::nullopt;
  return EntityId::init(visitor.best_id);
}

template <class Keep>
std::expected<std::pmr::vector<EntityId>, Error> NearestIndex::kNearest(
    nemra_kernel::HomVec4 query, std::size_t k, std::pmr::memory_resource* out,
    const NearestFilter<Keep>& filter) const {
  return kNearest(query, k, std::span<const EntityId>{}, out, filter);
}

template <class Keep>
std::expected<std::pmr::vector<EntityId>, Error> NearestIndex::kNearest(
    nemra_kernel::HomVec4 query, std::size_t k, std::span<const EntityId> seeds,
    std::pmr::memory_resource* out, const NearestFilter<Keep>& filter) const {
  using Kept = detail::KNearestCosines<std::uint64_t>;
  std::pmr::memory_resource* const scratch =
      out != nullptr ? out : std::pmr::get_default_resource();
  const detail::CosineQuery cosines = detail::cosineQuery(query);
  const auto offer = [&](Kept& kept) {
    detail::KNearestVisitor<Keep> visitor{
        {positions_.data(), slot_ids_.data(), &filter}, &kept, cosines};
    if (const auto limit = seedLimit(cosines, k, seeds, filter, scratch)) {
      visitor.limit.setCosine(*limit);
    }
    visit(query, visitor);
  };
  const auto idOf = [](std::uint64_t id) { return EntityId::init(id); };
  return detail::kNearestList<std::uint64_t, decltype(offer), decltype(idOf), Kept>(k, held_, out,
                                                                                    offer, idOf);
}

// The k-th largest cosine to the query among the seeds held at trusted positions that pass the
// filter, each counted once; none when fewer than k are. Every one of the k nearest entities that
// pass is then at least as near (up to the near ties the limit's margin covers), so a search may
// skip what is beyond it from the start. Up to 32 seeds are kept on the stack.
template <class Keep>
std::optional<double> NearestIndex::seedLimit(const detail::CosineQuery& query, std::size_t k,
                                              std::span<const EntityId> seeds,
                                              const NearestFilter<Keep>& filter,
                                              std::pmr::memory_resource* scratch) const {
  if (k == 0 || seeds.size() < k || held_ < k) return std::nullopt;
  constexpr std::size_t kOnStack = 32;
  std::uint32_t stack_slots[kOnStack];
  double stack_cosines[kOnStack];
  std::pmr::vector<std::uint32_t> heap_slots(scratch);
  std::pmr::vector<double> heap_cosines(scratch);
  std::uint32_t* slots = stack_slots;
  double* cosines = stack_cosines;
  if (seeds.size() > kOnStack) {
    try {
      heap_slots.resize(seeds.size());
      heap_cosines.resize(seeds.size());
    } catch (const std::bad_alloc&) {
      return std::nullopt;  // seeds only speed a search up: it goes on without them
    }
    slots = heap_slots.data();
    cosines = heap_cosines.data();
  }
  std::size_t count = 0;
  for (const EntityId id : seeds) {
    if (!id.isValid()) continue;
    const std::size_t r = findInDirectory(id.id, id.id - 1);
    if (r == ids_.size() || slots_[r] == kNone) continue;
    const std::uint32_t slot = slots_[r];
    const double p2 = detail::norm2(positions_[slot]);
    if (!(p2 >= detail::kMinTrustedNorm2 && p2 <= detail::kMaxTrustedNorm2)) continue;
    if (!filter.passes(id)) continue;
    // A seed named twice is one entity: counted twice it would bound the k-th too near. A few
    // are compared with those before; many are sorted below.
    bool again = false;
    if (seeds.size() <= kOnStack) {
      for (std::size_t j = 0; j < count; ++j) again |= slots[j] == slot;
    }
    if (!again) slots[count++] = slot;
  }
  if (seeds.size() > kOnStack) {
    std::sort(slots, slots + count);
    count = static_cast<std::size_t>(std::unique(slots, slots + count) - slots);
  }
  if (count < k) return std::nullopt;
  for (std::size_t i = 0; i < count; ++i)
    cosines[i] = detail::fsCosine(query, positions_[slots[i]]);
  std::nth_element(cosines, cosines + (k - 1), cosines + count, std::greater<>());
  return cosines[k - 1];
}

template <class Keep>
std::expected<std::pmr::vector<EntityId>, Error> NearestIndex::withinDistance(
    nemra_kernel::HomVec4 query, double radius, std::pmr::memory_resource* out,
    const NearestFilter<Keep>& filter) const {
  return detail::idList(out, [&](std::pmr::vector<EntityId>& ids) {
    if (!(radius >= 0.0)) return;
    detail::WithinVisitor<Keep> visitor{{positions_.data(), slot_ids_.data(), &filter}};
    visitor.radius = radius;
    visitor.found = &ids;
    visitor.bounds = detail::WithinBounds::of(radius);
    visitor.limit.set(radius);
    visit(query, visitor);
    std::sort(ids.begin(), ids.end(), [](EntityId a, EntityId b) { return a.id < b.id; });
  });
}

}  // namespace nemra_ecs

#endif
