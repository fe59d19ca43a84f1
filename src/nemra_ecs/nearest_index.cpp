#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <new>
#include <numbers>
#include <span>
#include <utility>

#include <nemra_ecs/detail/nearest_search.hpp>
#include <nemra_ecs/nearest_index.hpp>
#include <nemra_ecs/owning.hpp>
#include <nemra_kernel/cr_math.hpp>
#include <nemra_kernel/fs_distance.hpp>

namespace nemra_ecs {

using nemra_kernel::HomVec4;
namespace cr = nemra_kernel::cr;

namespace {

using detail::dot;
using detail::kAboveEveryDistance;
using detail::kCosMargin;
using detail::kMaxTrustedNorm2;
using detail::kMinTrustedNorm2;
using detail::norm2;

// The most entries a leaf ball holds; leaves hold between half this and this.
constexpr std::size_t kLeafMost = 16;

// Positions whose squared length lies in the trusted range (kMinTrustedNorm2 to kMaxTrustedNorm2)
// go into the tree; the others are scanned. Inside it, and for a query whose squared length lies
// in the query range below, the cosine fsDistance takes is within 2e-15 of the true cosine of the
// angle between the two lines (no overflow, no zero guard, underflow negligible), so its distance
// is within sqrt(2 · 2e-15) + ulp < 1e-7 of the true angle, acos being steepest at 1; a ball's
// radius likewise.
constexpr double kMinQueryNorm2 = 1e-28;
constexpr double kMaxQueryNorm2 = 1e200;

// A ball is skipped when the cosine c between its centre and the query is below
// cos(L + kMargin + radius) − kCosSlack, L being the distance to beat: the true angle to the
// centre then exceeds L + kMargin + radius, so (the angle between lines obeys the triangle
// inequality) every entity's true distance exceeds L + kMargin − 1e-7 and its computed one exceeds
// L. kCosSlack covers the rounding of c (2e-15) and of the bound (1e-15). A ball is taken whole
// by the mirror test against cos(radius − kMargin − ball radius).
constexpr double kMargin = 5e-7;
constexpr double kCosSlack = 1e-14;

HomVec4 scaled(const HomVec4& a, double s) {
  return HomVec4::init(a.x * s, a.y * s, a.z * s, a.w * s);
}

bool inTree(const HomVec4& p) {
  const double n2 = norm2(p);
  return n2 >= kMinTrustedNorm2 && n2 <= kMaxTrustedNorm2;
}

// An entry of the tree while it is built: the unit position, turned to the side of its ball's
// centre, and where it came from.
struct TreeEntry {
  float unit[4];
  std::uint32_t rank;
};

using Ball = detail::IndexBall;

// Orders the tree's entries and places the balls' centres, top down. The units are single
// precision: they only steer the arrangement, and the radii come from the stored positions.
struct TreeBuilder {
  std::span<TreeEntry> entries;
  std::span<Ball> balls;
  std::size_t depth;

  // Ball b over entries[begin, end) at `level`, and below it. The units come turned to the side of
  // `towards`, the parent's centre, so their sum points at the ball's centre; the root's are
  // first turned to the side of one of them.
  void placeBall(std::size_t b, std::size_t begin, std::size_t end, std::size_t level,
                 const HomVec4& towards) {
    const std::span<TreeEntry> part = entries.subspan(begin, end - begin);
    double s[4] = {0.0, 0.0, 0.0, 0.0};
    for (const TreeEntry& w : part) {
      const HomVec4 u = HomVec4::init(w.unit[0], w.unit[1], w.unit[2], w.unit[3]);
      const double sign = level == 0 && dot(u, towards) < 0.0 ? -1.0 : 1.0;
      for (std::size_t a = 0; a < 4; ++a) s[a] += sign * w.unit[a];
    }
    const HomVec4 sum = HomVec4::init(s[0], s[1], s[2], s[3]);
    const double length = std::sqrt(norm2(sum));
    const HomVec4 centre = length > 1e-150 ? scaled(sum, 1.0 / length) : towards;
    balls[b].centre = centre;
    if (level == depth) return;

    // Turn every unit to the side of the centre and halve along the coordinate of widest spread.
    const float c[4] = {static_cast<float>(centre.x), static_cast<float>(centre.y),
                        static_cast<float>(centre.z), static_cast<float>(centre.w)};
    float lo[4] = {2.0f, 2.0f, 2.0f, 2.0f};
    float hi[4] = {-2.0f, -2.0f, -2.0f, -2.0f};
    for (TreeEntry& w : part) {
      const float along =
          ((w.unit[0] * c[0] + w.unit[1] * c[1]) + w.unit[2] * c[2]) + w.unit[3] * c[3];
      const float sign = along < 0.0f ? -1.0f : 1.0f;
      for (std::size_t a = 0; a < 4; ++a) {
        w.unit[a] *= sign;
        lo[a] = w.unit[a] < lo[a] ? w.unit[a] : lo[a];
        hi[a] = w.unit[a] > hi[a] ? w.unit[a] : hi[a];
      }
    }
    std::size_t axis = 0;
    for (std::size_t a = 1; a < 4; ++a) {
      if (hi[a] - lo[a] > hi[axis] - lo[axis]) axis = a;
    }
    const std::size_t mid = begin + (end - begin) / 2;
    std::nth_element(
        entries.begin() + static_cast<std::ptrdiff_t>(begin),
        entries.begin() + static_cast<std::ptrdiff_t>(mid),
        entries.begin() + static_cast<std::ptrdiff_t>(end),
        [axis](const TreeEntry& l, const TreeEntry& r) { return l.unit[axis] < r.unit[axis]; });
    placeBall(2 * b + 1, begin, mid, level + 1, centre);
    placeBall(2 * b + 2, mid, end, level + 1, centre);
  }
};

// The radius of every ball: the arc cosine of the least cosine between its centre and the stored
// positions of its entries (`inverse_norms` holds 1 / |p| of each).
void setRadii(std::span<Ball> balls, std::span<const HomVec4> positions,
              std::span<const double> inverse_norms, std::size_t b, std::size_t begin,
              std::size_t end, std::size_t levels_below) {
  Ball& ball = balls[b];
  double least_cosine = 1.0;
  for (std::size_t i = begin; i < end; ++i) {
    least_cosine =
        std::fmin(least_cosine, std::fabs(dot(positions[i], ball.centre)) * inverse_norms[i]);
  }
  ball.radius = cr::acos(least_cosine);
  ball.cos_radius = cr::cos(ball.radius);
  ball.sin_radius = cr::sin(ball.radius);
  if (levels_below == 0) return;
  const std::size_t mid = begin + (end - begin) / 2;
  setRadii(balls, positions, inverse_norms, 2 * b + 1, begin, mid, levels_below - 1);
  setRadii(balls, positions, inverse_norms, 2 * b + 2, mid, end, levels_below - 1);
}

}  // namespace

NearestIndex::NearestIndex(std::pmr::memory_resource* allocator)
    : ids_(detail::resourceOrDefault(allocator)),
      positions_(ids_.get_allocator()),
      ranks_(ids_.get_allocator()),
      balls_(ids_.get_allocator()) {}

// The vectors' move leaves them empty; the tree's shape must follow, or a query of the moved-from
// index would walk balls it no longer has.
NearestIndex::NearestIndex(NearestIndex&& other) noexcept
    : ids_(std::move(other.ids_)),
      positions_(std::move(other.positions_)),
      ranks_(std::move(other.ranks_)),
      balls_(std::move(other.balls_)),
      tree_size_(std::exchange(other.tree_size_, 0)),
      depth_(std::exchange(other.depth_, 0)) {}

NearestIndex NearestIndex::init(std::pmr::memory_resource* allocator) noexcept {
  return NearestIndex(allocator);
}

NearestIndex& NearestIndex::operator=(NearestIndex&& other) noexcept {
  return detail::moveAssignByRebuild(*this, std::move(other));
}

void NearestIndex::deinit() {
  detail::releaseStorage(ids_);
  detail::releaseStorage(positions_);
  detail::releaseStorage(ranks_);
  detail::releaseStorage(balls_);
  tree_size_ = 0;
  depth_ = 0;
}

std::expected<NearestIndex, Error> NearestIndex::build(const World& world,
                                                       std::pmr::memory_resource* allocator) {
  std::size_t active = 0;
  std::size_t in_tree = 0;
  for (const Entity& e : world.entities) {
    if (!e.isActive()) continue;
    ++active;
    in_tree += inTree(e.position) ? 1U : 0U;
  }
  if (active > std::numeric_limits<std::uint32_t>::max()) {
    return std::unexpected(Error::OutOfMemory);
  }
  try {
    NearestIndex index(allocator);
    std::pmr::memory_resource* resource = index.ids_.get_allocator().resource();
    index.ids_.reserve(active);
    // Leaves of kLeafMost / 2 to kLeafMost entries.
    std::size_t depth = 0;
    if (in_tree > 0) {
      while ((in_tree - 1) >> depth >= kLeafMost) ++depth;
      index.balls_.resize((std::size_t{2} << depth) - 1);
    }
    {
      std::pmr::vector<TreeEntry> entries(resource);
      entries.reserve(in_tree);
      for (const Entity& e : world.entities) {
        if (!e.isActive()) continue;
        const auto rank = static_cast<std::uint32_t>(index.ids_.size());
        index.ids_.push_back(e.id);
        if (inTree(e.position)) {
          const HomVec4 u = scaled(e.position, 1.0 / std::sqrt(norm2(e.position)));
          entries.push_back(TreeEntry{{static_cast<float>(u.x), static_cast<float>(u.y),
                                       static_cast<float>(u.z), static_cast<float>(u.w)},
                                      rank});
        }
      }
      if (in_tree > 0) {
        const float* first = entries.front().unit;
        const HomVec4 towards = HomVec4::init(first[0], first[1], first[2], first[3]);
        TreeBuilder{entries, index.balls_, depth}.placeBall(0, 0, in_tree, 0, towards);
      }
      // Each rank's place in the tree (kNone for a scanned entity), so that the world's records
      // are read in order rather than at random.
      constexpr std::uint32_t kNone = std::numeric_limits<std::uint32_t>::max();
      std::pmr::vector<std::uint32_t> place(active, kNone, resource);
      index.ranks_.resize(active);
      index.positions_.resize(active);
      for (std::size_t i = 0; i < in_tree; ++i) {
        index.ranks_[i] = entries[i].rank;
        place[entries[i].rank] = static_cast<std::uint32_t>(i);
      }
      std::size_t scanned = in_tree;
      std::uint32_t rank = 0;
      for (const Entity& e : world.entities) {
        if (!e.isActive()) continue;
        if (place[rank] != kNone) {
          index.positions_[place[rank]] = e.position;
        } else {
          index.positions_[scanned] = e.position;
          index.ranks_[scanned] = rank;
          ++scanned;
        }
        ++rank;
      }
    }
    if (in_tree > 0) {
      std::pmr::vector<double> inverse_norms(resource);
      inverse_norms.reserve(in_tree);
      for (std::size_t i = 0; i < in_tree; ++i) {
        inverse_norms.push_back(1.0 / std::sqrt(norm2(index.positions_[i])));
      }
      setRadii(index.balls_, std::span(index.positions_).first(in_tree), inverse_norms, 0, 0,
               in_tree, depth);
    }
    index.tree_size_ = in_tree;
    index.depth_ = depth;
    return index;
  } catch (const std::bad_alloc&) {
    return std::unexpected(Error::OutOfMemory);
  }
}

namespace {

// What a search does with a ball: skip it, take every entity in it without a distance, or search
// inside it (its children, or a leaf's entries one by one).
enum class BallAction { skip, takeAll, searchInside };

// The tests a search prunes with, for a limit distance L: the best so far, the k-th so far or the
// radius. With no limit nothing is pruned.
class Limit {
 public:
  void set(double limit) {
    const double a = limit + kMargin;
    cos_ = a < std::numbers::pi / 2 ? cr::cos(a) : -2.0;
    sin_ = a < std::numbers::pi / 2 ? cr::sin(a) : 0.0;
    const double t = cr::cos(limit) - kCosMargin;
    screen2_ = t > 0.0 ? t * t : 0.0;
  }

  // Whether every entity of the ball is farther than L, from the cosine between its centre and
  // the unit query.
  bool beyond(double cosine, const Ball& b) const {
    return cosine < (cos_ * b.cos_radius - sin_ * b.sin_radius) - kCosSlack;
  }

  // Whether the entity at p (in the tree) is farther than L, from its cosine to the unit query.
  bool screened(const HomVec4& p, const HomVec4& unit) const {
    const double c = dot(p, unit);
    return c * c < screen2_ * norm2(p);
  }

 private:
  double cos_ = -2.0;
  double sin_ = 0.0;
  double screen2_ = 0.0;
};

}  // namespace

// Passes every entry that may matter to the visitor: visitor.actOn(cosine to the ball's centre,
// ball) says whether a ball is skipped, taken whole (visitor.inside(i) for each entry) or searched
// inside (down to visitor.entry(i, ...) for each entry of its leaves). A query the bounds do not
// cover sees every entry.
template <class Visitor>
void NearestIndex::visit(HomVec4 query, Visitor& visitor) const {
  const std::size_t n = positions_.size();
  const double q2 = norm2(query);
  const bool bounded = q2 >= kMinQueryNorm2 && q2 <= kMaxQueryNorm2;
  for (std::size_t i = bounded ? tree_size_ : 0; i < n; ++i) {
    visitor.entry(i, query, nullptr);
  }
  if (!bounded || tree_size_ == 0) return;

  const HomVec4 unit = scaled(query, 1.0 / std::sqrt(q2));
  struct Pending {
    std::size_t ball, begin, end;
    double cosine;
  };
  Pending stack[2 * 64];
  std::size_t top = 0;
  stack[top++] = Pending{0, 0, tree_size_, std::fabs(dot(balls_[0].centre, unit))};
  const std::size_t first_leaf = (std::size_t{1} << depth_) - 1;
  while (top > 0) {
    const Pending p = stack[--top];
    const BallAction action = visitor.actOn(p.cosine, balls_[p.ball]);
    if (action == BallAction::skip) continue;
    if (action == BallAction::takeAll) {
      for (std::size_t i = p.begin; i < p.end; ++i) visitor.inside(i);
      continue;
    }
    if (p.ball >= first_leaf) {
      for (std::size_t i = p.begin; i < p.end; ++i) visitor.entry(i, query, &unit);
      continue;
    }
    const std::size_t mid = p.begin + (p.end - p.begin) / 2;
    const std::size_t l = 2 * p.ball + 1, r = l + 1;
    Pending near{l, p.begin, mid, std::fabs(dot(balls_[l].centre, unit))};
    Pending far{r, mid, p.end, std::fabs(dot(balls_[r].centre, unit))};
    if (near.cosine < far.cosine) std::swap(near, far);
    stack[top++] = far;
    stack[top++] = near;  // taken first
  }
}

namespace {

// What the three searches' visitors share: the stored entities, the limit they prune with, and
// balls skipped or searched inside.
struct PruningVisitor {
  const HomVec4* positions;
  const std::uint32_t* ranks;
  Limit limit;

  BallAction actOn(double cosine, const Ball& b) const {
    return limit.beyond(cosine, b) ? BallAction::skip : BallAction::searchInside;
  }
  void inside(std::size_t) {}
  // Whether the entity at i is known to lie beyond the limit without its distance. `unit` is the
  // unit query for an entity of the tree, nullptr for one that is scanned.
  bool screened(std::size_t i, const HomVec4* unit) const {
    return unit != nullptr && limit.screened(positions[i], *unit);
  }
};

struct NearestVisitor : PruningVisitor {
  double best = kAboveEveryDistance;
  std::uint32_t best_rank = std::numeric_limits<std::uint32_t>::max();  // none yet

  void entry(std::size_t i, const HomVec4& query, const HomVec4* unit) {
    if (screened(i, unit)) return;
    const double d = nemra_kernel::fsDistance(query, positions[i]);
    if (d < best || (d == best && ranks[i] < best_rank)) {
      if (d != best) limit.set(d);
      best = d;
      best_rank = ranks[i];
    }
  }
};

struct KNearestVisitor : PruningVisitor {
  detail::KSmallest<std::uint32_t>* kept;

  void entry(std::size_t i, const HomVec4& query, const HomVec4* unit) {
    if (screened(i, unit)) return;
    const double before = kept->full() ? kept->last().distance : kAboveEveryDistance;
    kept->offer(nemra_kernel::fsDistance(query, positions[i]), ranks[i]);
    if (kept->full() && kept->last().distance != before) limit.set(kept->last().distance);
  }
};

// Collects the ranks of the entities within `radius`, to be sorted and mapped to ids afterwards.
struct WithinVisitor : PruningVisitor {
  double radius;
  std::pmr::vector<std::uint32_t>* found;
  // cos and sin of radius − kMargin when that is positive and radius below 2 (above every
  // distance: then every ball is taken whole).
  bool take_whole = false;
  double cos_inner = 2.0;
  double sin_inner = 0.0;

  WithinVisitor(const HomVec4* p, const std::uint32_t* r, double within,
                std::pmr::vector<std::uint32_t>& out)
      : PruningVisitor{p, r, {}}, radius(within), found(&out) {
    limit.set(radius);
    take_whole = radius >= 2.0;
    if (radius < 2.0 && radius - kMargin > 0.0) {
      cos_inner = cr::cos(radius - kMargin);
      sin_inner = cr::sin(radius - kMargin);
    }
  }

  BallAction actOn(double cosine, const Ball& b) const {
    if (take_whole) return BallAction::takeAll;
    if (limit.beyond(cosine, b)) return BallAction::skip;
    if (radius - kMargin - b.radius > 0.0 &&
        cosine > (cos_inner * b.cos_radius + sin_inner * b.sin_radius) + kCosSlack) {
      return BallAction::takeAll;
    }
    return BallAction::searchInside;
  }
  void inside(std::size_t i) { found->push_back(ranks[i]); }
  void entry(std::size_t i, const HomVec4& query, const HomVec4* unit) {
    if (screened(i, unit)) return;
    if (nemra_kernel::fsDistance(query, positions[i]) <= radius) {
      found->push_back(ranks[i]);
    }
  }
};

}  // namespace

std::optional<EntityId> NearestIndex::nearest(HomVec4 query) const {
  NearestVisitor visitor{{positions_.data(), ranks_.data(), {}}};
  visit(query, visitor);
  if (visitor.best_rank >= ids_.size()) return std::nullopt;
  return ids_[visitor.best_rank];
}

std::expected<std::pmr::vector<EntityId>, Error> NearestIndex::kNearest(
    HomVec4 query, std::size_t k, std::pmr::memory_resource* out) const {
  return detail::kNearestList<std::uint32_t>(
      k, ids_.size(), out,
      [&](detail::KSmallest<std::uint32_t>& kept) {
        KNearestVisitor visitor{{positions_.data(), ranks_.data(), {}}, &kept};
        visit(query, visitor);
      },
      [&](std::uint32_t rank) { return ids_[rank]; });
}

std::expected<std::pmr::vector<EntityId>, Error> NearestIndex::withinDistance(
    HomVec4 query, double radius, std::pmr::memory_resource* out) const {
  return detail::idList(out, [&](std::pmr::vector<EntityId>& ids) {
    if (!(radius >= 0.0)) return;
    std::pmr::vector<std::uint32_t> ranks(ids.get_allocator().resource());
    WithinVisitor visitor(positions_.data(), ranks_.data(), radius, ranks);
    visit(query, visitor);
    std::sort(ranks.begin(), ranks.end());
    ids.reserve(ranks.size());
    for (const std::uint32_t rank : ranks) ids.push_back(ids_[rank]);
  });
}

}  // namespace nemra_ecs
