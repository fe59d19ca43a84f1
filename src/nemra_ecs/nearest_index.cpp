// NearestIndex's building and upkeep; its searches are templates in nearest_index.hpp.
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <new>
#include <numbers>
#include <span>
#include <utility>

#include <nemra_ecs/detail/select_nth.hpp>
#include <nemra_ecs/nearest_index.hpp>
#include <nemra_ecs/nearest_search.hpp>
#include <nemra_ecs/owning.hpp>
#include <nemra_kernel/cr_math.hpp>
#include <nemra_kernel/fs_distance.hpp>

namespace nemra_ecs {

using nemra_kernel::HomVec4;
namespace cr = nemra_kernel::cr;

namespace detail {

void SearchLimit::set(double limit) noexcept {
  const double a = limit + kMargin;
  cos_ = a < std::numbers::pi / 2 ? cr::cos(a) : -2.0;
  sin_ = a < std::numbers::pi / 2 ? cr::sin(a) : 0.0;
  const double t = cr::cos(limit) - kCosMargin;
  screen2_ = t > 0.0 ? t * t : 0.0;
}

namespace {
// cos and sin of the margin, within 1e-16 (the next terms are below 1e-19).
constexpr double kCosOfMargin = 1.0 - SearchLimit::kMargin * SearchLimit::kMargin / 2;
constexpr double kSinOfMargin = SearchLimit::kMargin;
}  // namespace

void SearchLimit::setCosine(double c) noexcept {
  const double s = std::sqrt((1.0 - c) * (1.0 + c));  // 1 − c is exact from 1/2 up
  const double cos_a = c * kCosOfMargin - s * kSinOfMargin;
  // Past a quarter turn nothing is pruned (as set does).
  cos_ = cos_a > 0.0 ? cos_a : -2.0;
  sin_ = cos_a > 0.0 ? s * kCosOfMargin + c * kSinOfMargin : 0.0;
  const double t = c - kCosMargin;
  screen2_ = t > 0.0 ? t * t : 0.0;
}

WithinBounds WithinBounds::of(double radius) noexcept {
  WithinBounds b;
  b.take_whole = radius >= 2.0;
  if (radius < 2.0 && radius - SearchLimit::kMargin > 0.0) {
    b.cos_inner = cr::cos(radius - SearchLimit::kMargin);
    b.sin_inner = cr::sin(radius - SearchLimit::kMargin);
  }
  return b;
}

}  // namespace detail

namespace {

using detail::dot;
using detail::norm2;

// The most entries a leaf ball holds; leaves hold between half this and this.
constexpr std::size_t kLeafMost = 16;
// A search screens a leaf (at most kLeafMost entries and a spare slot) into a 64-bit mask.
static_assert(kLeafMost + 1 <= 64);

// Positions whose squared length lies in the trusted range (kMinTrustedNorm2 to kMaxTrustedNorm2)
// go into the tree; the others are scanned. Inside it, and for a query whose squared length lies
// in the query range (detail::kMinQueryNorm2 to kMaxQueryNorm2), the cosine fsDistance takes is
// within 2e-15 of the true cosine of the angle between the two lines (no overflow, no zero guard,
// underflow negligible), so its distance is within sqrt(2 · 2e-15) + ulp < 1e-7 of the true
// angle, acos being steepest at 1; a ball's radius likewise.
bool inTree(const HomVec4& p) {
  const double n2 = norm2(p);
  return n2 >= detail::kMinTrustedNorm2 && n2 <= detail::kMaxTrustedNorm2;
}

// An offset is an upper bound (upperAngle) on the angle whose cosine is the computed cosine between
// a leaf's centre and an ancestor's, which is within 1e-7 of the true angle (as above); the pad
// covers that, and the rounding of the sum an ancestor's radius is refitted with. So a refitted
// radius errs below the true one by no more than its leaves' radii do.
constexpr double kOffsetPad = 2e-7;

// A leaf may grow to four times its radius at build, and at least to twice its parent's radius,
// before its entities go to the scanned list, so that a jump does not widen a leaf, while a drift
// is left to the arrangement of worn subtrees once the leaves' radii have grown (kWornGrowth). The
// cap's cosine is cos 4r = 2(2c² − 1)² − 1 (its rounding only moves the point at which they go).
constexpr double kCapFloor = 1e-9;

// A subtree is arranged again once the sum of its leaves' radii, or its own radius, has grown by a
// quarter since it was arranged, and its entities have moved kMovesPerArrangement times over
// (counted against its entries): so every arrangement of m entries, O(m log m), is paid for by at
// least 16m moves, and a tick of small steps costs a fraction of a build however fast the entities
// disperse. (At 1e4 entities drifting a step a tick, a half instead of a quarter left the tree
// worn enough for its queries to cost a fifth more; the upkeep grew by less than it saved.)
constexpr double kWornGrowth = 1.25;

// Nor does an entity leave its leaf for the list before it is kCapOverMean mean leaf radii (at
// build) from the leaf's centre: a leaf arranged thin (entities along one line through the origin,
// say) would otherwise list its entities at their first step across it, and in a large index
// (small leaves) steady drift would carry entities past their caps before the sixteen moves per
// entry that let a worn subtree be arranged again (at 1e6, four mean radii listed about 600
// entities a tick and rebuilt the index every other tick).
constexpr double kCapOverMean = 16.0;
constexpr std::size_t kMovesPerArrangement = 16;

// How many directory entries ahead refit requests the stored position from memory.
constexpr std::size_t kRefitPrefetch = 48;

// Room in the scanned list at build: 64 entries and one per 1024 of the tree. Every search scans
// the list, so it stays short; inserts and jumps pay a rebuild per that many.
std::size_t listRoom(std::size_t in_tree) { return 64 + in_tree / 1024; }

HomVec4 scaled(const HomVec4& a, double s) {
  return HomVec4::init(a.x * s, a.y * s, a.z * s, a.w * s);
}

// The smaller of two numbers that are not NaN, inline (std::fmin is a call at -O2).
double smaller(double a, double b) { return b < a ? b : a; }

bool sameBits(const HomVec4& a, const HomVec4& b) { return std::memcmp(&a, &b, sizeof a) == 0; }

// Calls f(first, count) for each level of the subtree under ball b at `level`, from b's own down
// to level `end` (not included): the count balls of one level of it are adjacent in the heap
// order, from ball `first`.
template <class F>
void forEachLevel(std::size_t b, std::size_t level, std::size_t end, F f) {
  for (std::size_t l = level, first = b, count = 1; l < end;
       ++l, first = 2 * first + 1, count *= 2) {
    f(first, count);
  }
}

// An angle no smaller than acos c for c in [0, 1], without an arc cosine: with s = sin θ,
// θ <= tan θ = s / c and θ <= (π/2)·s on [0, π/2]. s = sqrt((1 − c)(1 + c)) is within 2 ulps
// (1 − c is exact from 1/2 up), and the factor covers that and the quotient's rounding. The
// excess, θ³/3 for small θ, is far below a ball's radius.
double upperAngle(double c, double s) {
  double u = std::numbers::pi / 2 * s;
  if (c > 0.5) u = std::fmin(u, s / c);
  return std::fmin(u * (1.0 + 1e-15), std::numbers::pi / 2);
}

// A ball's radius from the least cosine c between its centre and its entries: the cosine and sine
// are c's (sin from c, as above), which are the cosine and sine of acos c, and the radius is an
// upper bound of acos c. A leaf's may be upperAngle's, which only bounds through the leaf and the
// tests that a radius is small enough read. A ball above leaves needs acos c rounded up: a refit
// raises it only when the bound through one of its leaves exceeds its radius, so a radius above
// the angle its cosine stands for (upperAngle's is a third above it near 0.9) would leave entities
// outside the cosine the searches prune with. So only builds take arc cosines, one per ball above
// the leaves (an arrangement bounds those balls through their leaves, as a refit does).
void setBallCosine(detail::IndexBall& ball, double c, bool above_leaves) {
  c = std::fmin(std::fmax(c, 0.0), 1.0);
  const double s = std::sqrt((1.0 - c) * (1.0 + c));
  ball.cos_radius = c;
  ball.sin_radius = s;
  ball.radius = above_leaves ? std::fmin(std::nextafter(cr::acos(c), 2.0), std::numbers::pi / 2)
                             : upperAngle(c, s);
}

// No angle between lines exceeds a quarter turn, so a radius bounded through leaves is cut back
// to one: the searches' "no limit" bound, cos −2, relies on a radius whose cosine is not negative.
void setBallRadius(detail::IndexBall& ball, double radius) {
  radius = std::fmin(radius, std::numbers::pi / 2);
  ball.radius = radius;
  ball.cos_radius = cr::cos(radius);
  ball.sin_radius = cr::sin(radius);
}

using detail::selectNth;
using detail::TreeEntry;

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
    selectNth(entries, begin, mid, end, [axis](const TreeEntry& e) { return e.unit[axis]; });
    placeBall(2 * b + 1, begin, mid, level + 1, centre);
    placeBall(2 * b + 2, mid, end, level + 1, centre);
  }
};

// Leaf b's cap, from its radius and its parent's.
void setLeafCap(std::span<Ball> balls, std::size_t b) {
  Ball& ball = balls[b];
  const double c = ball.cos_radius;
  const double cos2 = 2.0 * c * c - 1.0;
  ball.cos_cap = c < 1.0 ? 2.0 * cos2 * cos2 - 1.0 : 1.0;
  if (cos2 < 0.0) ball.cos_cap = -1.0;  // 4r beyond a quarter turn: no cap
  // Nor less than twice the parent's radius: a jump is a move well out of the parent's ball,
  // while a drift is left to the arrangement of worn subtrees.
  if (b > 0) {
    const double p = balls[(b - 1) / 2].cos_radius;
    ball.cos_cap = std::fmin(ball.cos_cap, 2.0 * p * p - 1.0);
  }
}

// The radius of every ball, from the least cosine between its centre and the stored positions of
// its entries other than gaps (id 0; `inverse_norms` holds 1 / |p| of each); a leaf's cap follows
// from its cosine.
void setRadii(std::span<Ball> balls, std::span<const HomVec4> positions,
              std::span<const std::uint64_t> ids, std::span<const double> inverse_norms,
              std::size_t b, std::size_t begin, std::size_t end, std::size_t levels_below) {
  Ball& ball = balls[b];
  double least_cosine = 1.0;
  for (std::size_t i = begin; i < end; ++i) {
    if (ids[i] == 0) continue;
    least_cosine =
        smaller(least_cosine, std::fabs(dot(positions[i], ball.centre)) * inverse_norms[i]);
  }
  setBallCosine(ball, least_cosine, levels_below > 0);
  ball.cos_cap = 2.0;
  if (levels_below == 0) {
    setLeafCap(balls, b);
    return;
  }
  const std::size_t mid = begin + (end - begin) / 2;
  setRadii(balls, positions, ids, inverse_norms, 2 * b + 1, begin, mid, levels_below - 1);
  setRadii(balls, positions, ids, inverse_norms, 2 * b + 2, mid, end, levels_below - 1);
}

// Lays the entries of a subtree out over its slots. The builder arranged `arranged` entries as if
// they were all the subtree held; the subtree has `slots` slots, at least as many, and leaf j of
// the arrangement goes to the start of the subtree's leaf j, the rest of whose slots are left as
// gaps. (A node's share of a halving never shrinks as the total grows, so each leaf fits.)
// place(slot, entry, leaf) is called for every slot in order, with the entry's index in the
// arrangement, or kNoEntry for a gap, and the leaf's ball.
constexpr std::size_t kNoEntry = std::numeric_limits<std::size_t>::max();

template <class Place>
void spreadOverSlots(std::size_t b, std::size_t e_begin, std::size_t e_end, std::size_t s_begin,
                     std::size_t s_end, std::size_t levels_below, Place& place) {
  if (levels_below == 0) {
    for (std::size_t s = s_begin; s < s_end; ++s) {
      const std::size_t e = e_begin + (s - s_begin);
      place(s, e < e_end ? e : kNoEntry, b);
    }
    return;
  }
  const std::size_t e_mid = e_begin + (e_end - e_begin) / 2;
  const std::size_t s_mid = s_begin + (s_end - s_begin) / 2;
  spreadOverSlots(2 * b + 1, e_begin, e_mid, s_begin, s_mid, levels_below - 1, place);
  spreadOverSlots(2 * b + 2, e_mid, e_end, s_mid, s_end, levels_below - 1, place);
}

}  // namespace

NearestIndex::NearestIndex(std::pmr::memory_resource* allocator)
    : ids_(detail::resourceOrDefault(allocator)),
      slots_(ids_.get_allocator()),
      positions_(ids_.get_allocator()),
      slot_ids_(ids_.get_allocator()),
      balls_(ids_.get_allocator()),
      leaf_offsets_(ids_.get_allocator()),
      built_radii_(ids_.get_allocator()),
      moves_(ids_.get_allocator()),
      leaf_sums_(ids_.get_allocator()),
      built_sums_(ids_.get_allocator()),
      dirty_(ids_.get_allocator()),
      arranged_(ids_.get_allocator()),
      arranged_inverse_norms_(ids_.get_allocator()),
      arranged_positions_(ids_.get_allocator()),
      arranged_ids_(ids_.get_allocator()) {}

// The vectors' move leaves them empty; the counts must follow, or a query of the moved-from index
// would walk balls it no longer has.
NearestIndex::NearestIndex(NearestIndex&& other) noexcept
    : ids_(std::move(other.ids_)),
      slots_(std::move(other.slots_)),
      positions_(std::move(other.positions_)),
      slot_ids_(std::move(other.slot_ids_)),
      balls_(std::move(other.balls_)),
      leaf_offsets_(std::move(other.leaf_offsets_)),
      built_radii_(std::move(other.built_radii_)),
      moves_(std::move(other.moves_)),
      leaf_sums_(std::move(other.leaf_sums_)),
      built_sums_(std::move(other.built_sums_)),
      dirty_(std::move(other.dirty_)),
      arranged_(std::move(other.arranged_)),
      arranged_inverse_norms_(std::move(other.arranged_inverse_norms_)),
      arranged_positions_(std::move(other.arranged_positions_)),
      arranged_ids_(std::move(other.arranged_ids_)),
      tree_size_(std::exchange(other.tree_size_, 0)),
      depth_(std::exchange(other.depth_, 0)),
      held_(std::exchange(other.held_, 0)),
      gaps_(std::exchange(other.gaps_, 0)),
      spare_(std::exchange(other.spare_, 0)),
      list_limit_(std::exchange(other.list_limit_, 0)),
      unhomed_(std::exchange(other.unhomed_, 0)),
      cos_cap_floor_(std::exchange(other.cos_cap_floor_, 1.0)),
      any_dirty_(std::exchange(other.any_dirty_, false)) {}

NearestIndex NearestIndex::init(std::pmr::memory_resource* allocator) noexcept {
  return NearestIndex(allocator);
}

NearestIndex& NearestIndex::operator=(NearestIndex&& other) noexcept {
  return detail::moveAssignByRebuild(*this, std::move(other));
}

void NearestIndex::deinit() {
  detail::releaseStorage(ids_);
  detail::releaseStorage(slots_);
  detail::releaseStorage(positions_);
  detail::releaseStorage(slot_ids_);
  detail::releaseStorage(balls_);
  detail::releaseStorage(leaf_offsets_);
  detail::releaseStorage(built_radii_);
  detail::releaseStorage(moves_);
  detail::releaseStorage(leaf_sums_);
  detail::releaseStorage(built_sums_);
  detail::releaseStorage(dirty_);
  releaseArrangementStorage();
  tree_size_ = 0;
  depth_ = 0;
  held_ = 0;
  gaps_ = 0;
  spare_ = 0;
  list_limit_ = 0;
  unhomed_ = 0;
  cos_cap_floor_ = 1.0;
  any_dirty_ = false;
}

// `source(f)` calls f(id, position) for `count` entities in increasing order of id. Throws
// std::bad_alloc.
template <class Source>
NearestIndex NearestIndex::buildFrom(std::pmr::memory_resource* allocator, std::size_t count,
                                     const Source& source) {
  NearestIndex index(allocator);
  std::pmr::memory_resource* resource = index.ids_.get_allocator().resource();
  std::size_t in_tree = 0;
  source([&](std::uint64_t, const HomVec4& p) { in_tree += inTree(p) ? 1U : 0U; });
  const std::size_t room = listRoom(in_tree);
  // Leaves of kLeafMost / 2 to kLeafMost entries, and a spare slot each.
  std::size_t depth = 0;
  if (in_tree > 0) {
    while ((in_tree - 1) >> depth >= kLeafMost) ++depth;
    index.balls_.resize((std::size_t{2} << depth) - 1);
    index.dirty_.resize(index.balls_.size(), 0);
  }
  const std::size_t spare = in_tree > 0 ? std::size_t{1} << depth : 0;
  const std::size_t tree_slots = in_tree + spare;
  index.ids_.reserve(count);
  index.slots_.resize(count);
  index.positions_.reserve(count + spare + room);
  index.slot_ids_.reserve(count + spare + room);
  // Slots are 32-bit.
  if (count + spare + room >= kNone) throw std::bad_alloc();
  index.positions_.resize(count + spare);
  index.slot_ids_.resize(count + spare);
  {
    std::pmr::vector<TreeEntry> entries(resource);
    entries.reserve(in_tree);
    source([&](std::uint64_t id, const HomVec4& p) {
      const auto rank = static_cast<std::uint32_t>(index.ids_.size());
      index.ids_.push_back(id);
      if (inTree(p)) {
        const HomVec4 u = scaled(p, 1.0 / std::sqrt(norm2(p)));
        entries.push_back(TreeEntry{{static_cast<float>(u.x), static_cast<float>(u.y),
                                     static_cast<float>(u.z), static_cast<float>(u.w)},
                                    rank});
      }
    });
    if (in_tree > 0) {
      const float* first = entries.front().unit;
      const HomVec4 towards = HomVec4::init(first[0], first[1], first[2], first[3]);
      TreeBuilder{entries, index.balls_, depth}.placeBall(0, 0, in_tree, 0, towards);
    }
    // Each entity's slot: its place in the tree, or after the tree in order. The spare slots are
    // gaps, at their leaf's centre.
    std::ranges::fill(index.slots_, kNone);
    auto place = [&](std::size_t slot, std::size_t e, std::size_t leaf) {
      if (e != kNoEntry) {
        index.slots_[entries[e].rank] = static_cast<std::uint32_t>(slot);
      } else {
        index.positions_[slot] = index.balls_[leaf].centre;
        index.slot_ids_[slot] = 0;
      }
    };
    if (in_tree > 0) spreadOverSlots(0, 0, in_tree, 0, tree_slots, depth, place);
  }
  std::size_t scanned = tree_slots;
  std::size_t rank = 0;
  // The sources are read in order rather than at random.
  source([&](std::uint64_t id, const HomVec4& p) {
    std::uint32_t& slot = index.slots_[rank];
    if (slot == kNone) slot = static_cast<std::uint32_t>(scanned++);
    index.positions_[slot] = p;
    index.slot_ids_[slot] = id;
    ++rank;
  });
  if (in_tree > 0) {
    std::pmr::vector<double> inverse_norms(resource);
    inverse_norms.reserve(tree_slots);
    for (std::size_t i = 0; i < tree_slots; ++i) {
      inverse_norms.push_back(1.0 / std::sqrt(norm2(index.positions_[i])));
    }
    setRadii(index.balls_, std::span(index.positions_).first(tree_slots),
             std::span(index.slot_ids_).first(tree_slots), inverse_norms, 0, 0, tree_slots, depth);
  }
  index.tree_size_ = tree_slots;
  index.depth_ = depth;
  index.held_ = count;
  index.gaps_ = spare;
  index.spare_ = spare;
  if (in_tree > 0) {
    index.leaf_offsets_.resize((std::size_t{1} << depth) * depth);
    index.built_radii_.resize(index.balls_.size());
    index.moves_.resize(index.balls_.size());
    index.leaf_sums_.resize(index.balls_.size());
    index.built_sums_.resize(index.balls_.size());
    index.setLeafOffsets(0, 0);
    index.recordArrangement(0, 0);
    // A quarter turn at most: the cap's cosine stays at or above 0.
    const double mean_leaf = index.leaf_sums_[0] / static_cast<double>(std::size_t{1} << depth);
    index.cos_cap_floor_ = cr::cos(smaller(kCapOverMean * mean_leaf, std::numbers::pi / 2));
    index.widenCaps(0, 0);
  }
  index.list_limit_ = count - in_tree + room;
  return index;
}

std::expected<NearestIndex, Error> NearestIndex::build(const World& world,
                                                       std::pmr::memory_resource* allocator) {
  std::size_t active = 0;
  for (const Entity& e : world.entities) active += e.isActive() ? 1U : 0U;
  if (active >= kNone) return std::unexpected(Error::OutOfMemory);
  try {
    return buildFrom(allocator, active, [&](auto&& f) {
      for (const Entity& e : world.entities) {
        if (e.isActive()) f(e.id.id, e.position);
      }
    });
  } catch (const std::bad_alloc&) {
    return std::unexpected(Error::OutOfMemory);
  }
}

// The same entities built again, with room for `extra_room` more in the scanned list.
std::expected<NearestIndex, Error> NearestIndex::rebuilt(std::size_t extra_room) const {
  try {
    NearestIndex fresh = buildFrom(ids_.get_allocator().resource(), held_, [&](auto&& f) {
      for (std::size_t r = 0; r < ids_.size(); ++r) {
        if (slots_[r] != kNone) f(ids_[r], positions_[slots_[r]]);
      }
    });
    if (extra_room > 0) {
      fresh.positions_.reserve(fresh.positions_.capacity() + extra_room);
      fresh.slot_ids_.reserve(fresh.positions_.capacity());
      fresh.list_limit_ += extra_room;
    }
    return fresh;
  } catch (const std::bad_alloc&) {
    return std::unexpected(Error::OutOfMemory);
  }
}

// Built again when the scanned list has used its room or a quarter of the tree are gaps (balls
// whose radius grew are arranged again by refitTree); a rebuild that runs out of memory is left
// for a later call. After refit the index holds
// exactly the world's active entities, and building from the world reads them in order rather
// than at random.
void NearestIndex::rebuildIfWorn(const World* world) noexcept {
  // A full list is rebuilt away only when the leaves took back less than half of it at the
  // last rehome: entities that leave their leaves in a burst and find others a tick later are
  // no reason to rebuild (the leaves they cannot leave meanwhile grow and are arranged again).
  const std::size_t listed = positions_.size() - tree_size_;
  const std::size_t holes = gaps_ > spare_ ? gaps_ - spare_ : 0;
  const bool list_full = listed >= list_limit_ && 2 * unhomed_ >= list_limit_;
  if (!list_full && holes * 4 <= tree_size_ - spare_) return;
  releaseArrangementStorage();
  auto fresh = world != nullptr ? build(*world, ids_.get_allocator().resource()) : rebuilt(0);
  if (fresh) *this = std::move(*fresh);
}

// The working storage arrangements keep, let go before a build (the new index starts without it),
// so that it does not add to the peak of the two indexes side by side.
void NearestIndex::releaseArrangementStorage() noexcept {
  detail::releaseStorage(arranged_);
  detail::releaseStorage(arranged_inverse_norms_);
  detail::releaseStorage(arranged_positions_);
  detail::releaseStorage(arranged_ids_);
}

// Room for `new_ids` more directory entries and `to_list` more entries of the scanned list, so
// that what follows allocates nothing; the entities held stay the same.
std::expected<void, Error> NearestIndex::makeRoom(std::size_t new_ids, std::size_t to_list) {
  if (positions_.capacity() - positions_.size() < to_list ||
      slot_ids_.capacity() - slot_ids_.size() < to_list) {
    releaseArrangementStorage();
    auto fresh = rebuilt(to_list);
    if (!fresh) return std::unexpected(fresh.error());
    *this = std::move(*fresh);
  }
  try {
    if (ids_.capacity() - ids_.size() < new_ids) {
      const std::size_t want = std::max(ids_.size() + new_ids, 2 * ids_.capacity());
      ids_.reserve(want);
      slots_.reserve(want);
    }
    if (slots_.capacity() < ids_.capacity()) slots_.reserve(ids_.capacity());
  } catch (const std::bad_alloc&) {
    return std::unexpected(Error::OutOfMemory);
  }
  return {};
}

bool NearestIndex::contains(EntityId id) const noexcept {
  const std::size_t r = findInDirectory(id.id, id.id - 1);
  return r < ids_.size() && slots_[r] != kNone;
}

// Holds the entity of directory position r (ids_.size(): not in the directory, inserted there)
// at `position`. Needs the room makeRoom gives for a new id and a new entry of the list.
void NearestIndex::place(std::size_t r, std::uint64_t id, const HomVec4& position) {
  if (r == ids_.size()) {
    const auto at = std::lower_bound(ids_.begin(), ids_.end(), id);
    r = static_cast<std::size_t>(at - ids_.begin());
    ids_.insert(at, id);  // within the capacity reserved
    slots_.insert(slots_.begin() + static_cast<std::ptrdiff_t>(r), kNone);
  }
  const std::uint32_t s = slots_[r];
  if (s == kNone) {
    slots_[r] = static_cast<std::uint32_t>(positions_.size());
    positions_.push_back(position);  // within the capacity reserved
    slot_ids_.push_back(id);
    ++held_;
    return;
  }
  positions_[s] = position;
  if (s >= tree_size_) return;
  if (!inTree(position)) {
    moveToList(s);
    return;
  }
  // Mark the leaf holding slot s and the balls above it; once more than half as many entities as
  // there are leaves have moved, every ball is refitted instead.
  if (refit_all_) return;
  if (++moved_ > (std::size_t{1} << depth_) / 2) {
    refit_all_ = true;
    return;
  }
  markMoved(s);
}

// Marks the leaf holding the tree's slot s and the balls above it for the refit.
void NearestIndex::markMoved(std::size_t s) noexcept {
  std::size_t b = 0, begin = 0, end = tree_size_;
  for (std::size_t level = 0; level < depth_; ++level) {
    const std::size_t mid = begin + (end - begin) / 2;
    if (s < mid) {
      end = mid;
      b = 2 * b + 1;
    } else {
      begin = mid;
      b = 2 * b + 2;
    }
  }
  for (;;) {
    dirty_[b] = 1;
    ++moves_[b];
    if (b == 0) break;
    b = (b - 1) / 2;
  }
  any_dirty_ = true;
}

// Takes listed entities back into the tree: for each, the first kRehomeLeaves leaves reached
// depth first, nearer centre first, are tried, and the first whose cap holds the entity and that
// has a gap takes it (the leaf is refitted with the others). Entities that move fast across P³
// (near the origin of R³, small steps are long arcs) leave their leaves again and again, and
// others leave gaps where they were; without this the list would fill and the index would build
// itself again every few ticks.
void NearestIndex::rehome() noexcept {
  constexpr std::size_t kRehomeLeaves = 16;
  const std::size_t first_leaf = (std::size_t{1} << depth_) - 1;
  for (std::size_t i = tree_size_; i < positions_.size();) {
    const HomVec4 p = positions_[i];
    if (!inTree(p)) {
      ++i;
      continue;
    }
    const HomVec4 unit = scaled(p, 1.0 / std::sqrt(norm2(p)));
    std::size_t stack_ball[64], stack_begin[64], stack_end[64];
    std::size_t top = 0, leaves = 0, gap = tree_size_;
    std::size_t b = 0, begin = 0, end = tree_size_;
    for (;;) {
      if (b < first_leaf) {
        const std::size_t mid = begin + (end - begin) / 2;
        const std::size_t l = 2 * b + 1;
        const bool left =
            std::fabs(dot(balls_[l].centre, unit)) >= std::fabs(dot(balls_[l + 1].centre, unit));
        stack_ball[top] = left ? l + 1 : l;
        stack_begin[top] = left ? mid : begin;
        stack_end[top] = left ? end : mid;
        ++top;
        b = left ? l : l + 1;
        (left ? end : begin) = mid;
        continue;
      }
      if (std::fabs(dot(balls_[b].centre, unit)) >= balls_[b].cos_cap) {
        for (std::size_t g = begin; g < end; ++g) {
          if (slot_ids_[g] == 0) {
            gap = g;
            break;
          }
        }
      }
      if (gap != tree_size_ || ++leaves == kRehomeLeaves || top == 0) break;
      --top;
      b = stack_ball[top];
      begin = stack_begin[top];
      end = stack_end[top];
    }
    if (gap == tree_size_) {
      ++i;
      continue;
    }
    const std::uint64_t id = slot_ids_[i];
    positions_[gap] = p;
    slot_ids_[gap] = id;
    slots_[findInDirectory(id, id - 1)] = static_cast<std::uint32_t>(gap);
    --gaps_;
    const std::size_t last = positions_.size() - 1;
    if (i != last) {
      positions_[i] = positions_[last];
      slot_ids_[i] = slot_ids_[last];
      slots_[findInDirectory(slot_ids_[i], slot_ids_[i] - 1)] = static_cast<std::uint32_t>(i);
    }
    positions_.pop_back();
    slot_ids_.pop_back();
    if (!refit_all_) markMoved(gap);
  }
}

// Moves the tree's entry at `slot` to the end of the scanned list (within the capacity) and leaves
// a gap.
void NearestIndex::moveToList(std::size_t slot) {
  const std::uint64_t id = slot_ids_[slot];
  const std::size_t r = findInDirectory(id, ids_.size());
  slots_[r] = static_cast<std::uint32_t>(positions_.size());
  positions_.push_back(positions_[slot]);
  slot_ids_.push_back(id);
  slot_ids_[slot] = 0;
  ++gaps_;
}

// The tree's entries ball b at `level` covers.
std::pair<std::size_t, std::size_t> NearestIndex::entriesOf(std::size_t b,
                                                            std::size_t level) const noexcept {
  const std::size_t k = b - ((std::size_t{1} << level) - 1);
  std::size_t begin = 0, end = tree_size_;
  for (std::size_t i = level; i-- > 0;) {
    const std::size_t mid = begin + (end - begin) / 2;
    if (((k >> i) & 1U) != 0) {
      begin = mid;
    } else {
      end = mid;
    }
  }
  return {begin, end};
}

// The leaves under ball b at `level`, numbered from 0 (leaf j is ball 2^depth_ − 1 + j).
std::pair<std::size_t, std::size_t> NearestIndex::leavesOf(std::size_t b,
                                                           std::size_t level) const noexcept {
  const std::size_t below = depth_ - level;
  const std::size_t j0 = (b - ((std::size_t{1} << level) - 1)) << below;
  return {j0, j0 + (std::size_t{1} << below)};
}

// The offsets of the leaves under ball b at `level` from every ancestor's centre, the parent's
// last.
void NearestIndex::setLeafOffsets(std::size_t b, std::size_t level) noexcept {
  const std::size_t first_leaf = (std::size_t{1} << depth_) - 1;
  const auto [j0, j1] = leavesOf(b, level);
  for (std::size_t j = j0; j < j1; ++j) {
    const HomVec4 centre = balls_[first_leaf + j].centre;
    std::size_t a = first_leaf + j;
    for (std::size_t l = depth_; l-- > 0;) {
      a = (a - 1) / 2;
      const double c = smaller(1.0, std::fabs(dot(centre, balls_[a].centre)));
      leaf_offsets_[j * depth_ + l] = upperAngle(c, std::sqrt((1.0 - c) * (1.0 + c))) + kOffsetPad;
    }
  }
}

// Lets the leaves under ball b at `level` grow to the cap floor before their entities are listed.
void NearestIndex::widenCaps(std::size_t b, std::size_t level) noexcept {
  const std::size_t first_leaf = (std::size_t{1} << depth_) - 1;
  const auto [j0, j1] = leavesOf(b, level);
  for (std::size_t a = first_leaf + j0; a < first_leaf + j1; ++a) {
    balls_[a].cos_cap = smaller(balls_[a].cos_cap, cos_cap_floor_);
  }
}

// Records the radii of the balls under ball b at `level` as arranged (each no smaller than the
// bound a refit gives it through its leaves) and the sums of their leaves' radii, carries the
// change to the sums above, and raises the balls above b to cover b's leaves.
void NearestIndex::recordArrangement(std::size_t b, std::size_t level) noexcept {
  const std::size_t first_leaf = (std::size_t{1} << depth_) - 1;
  const double before = leaf_sums_[b];
  forEachLevel(b, level, depth_ + 1, [&](std::size_t first, std::size_t count) {
    for (std::size_t a = first; a < first + count; ++a) {
      built_radii_[a] = balls_[a].radius;
      moves_[a] = 0;
    }
  });
  const auto [j0, j1] = leavesOf(b, level);
  for (std::size_t j = j0; j < j1; ++j) {
    const double r = balls_[first_leaf + j].radius;
    leaf_sums_[first_leaf + j] = r;
    std::size_t a = first_leaf + j;
    for (std::size_t l = depth_; l-- > 0;) {
      a = (a - 1) / 2;
      const double bound = leaf_offsets_[j * depth_ + l] + r;
      if (l >= level) {
        built_radii_[a] = bound > built_radii_[a] ? bound : built_radii_[a];
      } else if (bound > balls_[a].radius) {
        setBallRadius(balls_[a], bound);
      }
    }
  }
  // The sums inside, a level at a time from the leaves up.
  for (std::size_t l = depth_; l-- > level;) {
    const std::size_t count = std::size_t{1} << (l - level);
    const std::size_t start = ((b + 1) << (l - level)) - 1;
    for (std::size_t a = start; a < start + count; ++a) {
      leaf_sums_[a] = leaf_sums_[2 * a + 1] + leaf_sums_[2 * a + 2];
    }
  }
  forEachLevel(b, level, depth_ + 1, [&](std::size_t first, std::size_t count) {
    std::copy_n(leaf_sums_.begin() + static_cast<std::ptrdiff_t>(first), count,
                built_sums_.begin() + static_cast<std::ptrdiff_t>(first));
  });
  const double change = leaf_sums_[b] - before;
  for (std::size_t a = b; a > 0;) {
    a = (a - 1) / 2;
    leaf_sums_[a] += change;
  }
}

// Arranges the entries under ball b at `level` again, as build would arrange them, and refits the
// balls above. Working storage that cannot be had leaves the subtree as it was: all of it is had
// before anything changes.
void NearestIndex::rearrange(std::size_t b, std::size_t level) noexcept {
  const auto [begin, end] = entriesOf(b, level);
  const std::size_t m = end - begin;
  try {
    arranged_.reserve(m);
    arranged_inverse_norms_.reserve(m);
    arranged_positions_.reserve(m);
    arranged_ids_.reserve(m);
  } catch (const std::bad_alloc&) {
    return;
  }
  // Within the capacity reserved: nothing below allocates.
  std::pmr::vector<TreeEntry>& entries = arranged_;
  std::pmr::vector<double>& inverse_norms = arranged_inverse_norms_;
  std::pmr::vector<HomVec4>& moved = arranged_positions_;
  std::pmr::vector<std::uint64_t>& moved_ids = arranged_ids_;
  entries.clear();
  inverse_norms.resize(m);
  moved.assign(positions_.begin() + static_cast<std::ptrdiff_t>(begin),
               positions_.begin() + static_cast<std::ptrdiff_t>(end));
  moved_ids.assign(slot_ids_.begin() + static_cast<std::ptrdiff_t>(begin),
                   slot_ids_.begin() + static_cast<std::ptrdiff_t>(end));
  // The units of the entities (gaps are spread out again afterwards) turned to the side of the
  // parent's centre, as a build hands them down.
  const HomVec4 towards = b > 0 ? balls_[(b - 1) / 2].centre : balls_[b].centre;
  for (std::size_t i = 0; i < m; ++i) {
    if (slot_ids_[begin + i] == 0) continue;
    const HomVec4& p = moved[i];
    const double inverse = 1.0 / std::sqrt(norm2(p));
    const double sign = dot(p, towards) < 0.0 ? -inverse : inverse;
    const HomVec4 u = scaled(p, sign);
    entries.push_back(TreeEntry{{static_cast<float>(u.x), static_cast<float>(u.y),
                                 static_cast<float>(u.z), static_cast<float>(u.w)},
                                static_cast<std::uint32_t>(i)});
  }
  TreeBuilder{entries, balls_, depth_}.placeBall(b, 0, entries.size(), level, towards);
  // The entries in their new order, each leaf's gaps after its entities: the id moves with the
  // position, and the directory follows.
  auto place = [&](std::size_t slot, std::size_t e, std::size_t leaf) {
    if (e == kNoEntry) {
      positions_[slot] = balls_[leaf].centre;
      slot_ids_[slot] = 0;
      inverse_norms[slot - begin] = 1.0;
      return;
    }
    const std::uint32_t from = entries[e].rank;
    positions_[slot] = moved[from];
    slot_ids_[slot] = moved_ids[from];
    inverse_norms[slot - begin] = 1.0 / std::sqrt(norm2(moved[from]));
    slots_[findInDirectory(moved_ids[from], moved_ids[from] - 1)] =
        static_cast<std::uint32_t>(slot);
  };
  spreadOverSlots(b, 0, entries.size(), begin, end, depth_ - level, place);
  boundRadii(b, level, inverse_norms);
  recordArrangement(b, level);
  widenCaps(b, level);
}

// The radii of the balls under ball b at `level` after it is arranged again: each leaf's from its
// entries (`inverse_norms` holds 1 / |p| of the subtree's slots), the leaves' offsets, every ball
// above them bounded through its leaves (offset plus radius) as a refit bounds it, and the
// leaves' caps. One pass over the entries where the exact radii of a build take one per level: an
// arrangement of the whole tree costs a tenth less, and the queries visit no more than one ball in
// a hundred more for the looser radii.
void NearestIndex::boundRadii(std::size_t b, std::size_t level,
                              std::span<const double> inverse_norms) noexcept {
  const std::size_t first_leaf = (std::size_t{1} << depth_) - 1;
  const auto [j0, j1] = leavesOf(b, level);
  const std::size_t slot0 = entriesOf(b, level).first;
  for (std::size_t j = j0; j < j1; ++j) {
    const auto [leaf_begin, leaf_end] = entriesOf(first_leaf + j, depth_);
    Ball& leaf = balls_[first_leaf + j];
    double least_cosine = 1.0;
    for (std::size_t i = leaf_begin; i < leaf_end; ++i) {
      if (slot_ids_[i] == 0) continue;
      least_cosine = smaller(least_cosine,
                             std::fabs(dot(positions_[i], leaf.centre)) * inverse_norms[i - slot0]);
    }
    setBallCosine(leaf, least_cosine, false);
  }
  setLeafOffsets(b, level);
  refitAncestors(b, level);
  for (std::size_t j = j0; j < j1; ++j) setLeafCap(balls_, first_leaf + j);
}

// Arranges again the highest balls among those marked (every ball when `everything`) whose radius
// has grown by a quarter since they were arranged, and clears the marks.
void NearestIndex::rearrangeWorn(std::size_t b, std::size_t level, std::size_t begin,
                                 std::size_t end, bool everything) noexcept {
  if (!everything && dirty_[b] == 0) return;
  dirty_[b] = 0;
  const bool worn = leaf_sums_[b] > kWornGrowth * built_sums_[b] + kCapFloor ||
                    balls_[b].radius > kWornGrowth * built_radii_[b] + kCapFloor;
  if (worn && moves_[b] >= kMovesPerArrangement * (end - begin)) {
    clearMarks(b, level);
    rearrange(b, level);
    return;
  }
  if (level == depth_) return;
  const std::size_t mid = begin + (end - begin) / 2;
  rearrangeWorn(2 * b + 1, level + 1, begin, mid, everything);
  rearrangeWorn(2 * b + 2, level + 1, mid, end, everything);
}

// Clears the marks under ball b at `level`.
void NearestIndex::clearMarks(std::size_t b, std::size_t level) noexcept {
  forEachLevel(b, level, depth_ + 1, [&](std::size_t first, std::size_t count) {
    std::fill_n(dirty_.begin() + static_cast<std::ptrdiff_t>(first), count, std::uint8_t{0});
  });
}

// A leaf's radius from its entries; an entry past the leaf's cap goes to the scanned list while
// the list has room (otherwise the radius takes it in, and the index is rebuilt afterwards).
void NearestIndex::refitLeaf(std::size_t ball, std::size_t begin, std::size_t end) noexcept {
  detail::IndexBall& leaf = balls_[ball];
  double least_cosine = 1.0;
  for (std::size_t i = begin; i < end; ++i) {
    if (slot_ids_[i] == 0) continue;
    const HomVec4& p = positions_[i];
    const double c = std::fabs(dot(p, leaf.centre)) * (1.0 / std::sqrt(norm2(p)));
    if (!(c >= leaf.cos_cap) && positions_.size() < positions_.capacity()) {
      moveToList(i);
      continue;
    }
    least_cosine = smaller(least_cosine, c);
  }
  setBallCosine(leaf, least_cosine, false);
}

// Bounds the ancestors' radii through leaf j: the angle from an ancestor's centre to any entity of
// the leaf is at most the leaf's offset from it plus the leaf's radius. An ancestor whose radius
// already covers that keeps it.
void NearestIndex::raiseAncestors(std::size_t j) noexcept {
  const std::size_t first_leaf = (std::size_t{1} << depth_) - 1;
  const double r = balls_[first_leaf + j].radius;
  std::size_t a = first_leaf + j;
  for (std::size_t level = depth_; level-- > 0;) {
    a = (a - 1) / 2;
    const double bound = leaf_offsets_[j * depth_ + level] + r;
    if (bound > balls_[a].radius) setBallRadius(balls_[a], bound);
  }
}

// The radius of every ball above the leaves under ball b at `level` (the whole tree by default) as
// the largest bound through its leaves.
void NearestIndex::refitAncestors(std::size_t b, std::size_t level) noexcept {
  const std::size_t first_leaf = (std::size_t{1} << depth_) - 1;
  const auto [j0, j1] = leavesOf(b, level);
  forEachLevel(b, level, depth_, [&](std::size_t first, std::size_t count) {
    for (std::size_t a = first; a < first + count; ++a) balls_[a].radius = 0.0;
  });
  for (std::size_t j = j0; j < j1; ++j) {
    const double r = balls_[first_leaf + j].radius;
    std::size_t a = first_leaf + j;
    for (std::size_t l = depth_; l-- > level;) {
      a = (a - 1) / 2;
      const double bound = leaf_offsets_[j * depth_ + l] + r;
      balls_[a].radius = bound > balls_[a].radius ? bound : balls_[a].radius;
    }
  }
  forEachLevel(b, level, depth_, [&](std::size_t first, std::size_t count) {
    for (std::size_t a = first; a < first + count; ++a) setBallRadius(balls_[a], balls_[a].radius);
  });
}

// Refits the marked balls (every ball once many have moved), leaves first, and clears the marks.
void NearestIndex::refitTree() noexcept {
  if (tree_size_ > 0 && positions_.size() > tree_size_) rehome();
  unhomed_ = positions_.size() - tree_size_;
  const bool everything = refit_all_;
  refit_all_ = false;
  moved_ = 0;
  if (tree_size_ == 0 || (!everything && !any_dirty_)) return;
  struct Walk {
    NearestIndex& index;
    bool everything;
    std::size_t first_leaf;
    void run(std::size_t b, std::size_t begin, std::size_t end, std::size_t levels_below) {
      if (!everything && index.dirty_[b] == 0) return;
      if (everything) index.moves_[b] += end - begin;
      if (levels_below == 0) {
        index.refitLeaf(b, begin, end);
        index.leaf_sums_[b] = index.balls_[b].radius;
        if (!everything) index.raiseAncestors(b - first_leaf);
        return;
      }
      const std::size_t mid = begin + (end - begin) / 2;
      run(2 * b + 1, begin, mid, levels_below - 1);
      run(2 * b + 2, mid, end, levels_below - 1);
      index.leaf_sums_[b] = index.leaf_sums_[2 * b + 1] + index.leaf_sums_[2 * b + 2];
    }
  };
  Walk{*this, everything, (std::size_t{1} << depth_) - 1}.run(0, 0, tree_size_, depth_);
  if (everything) refitAncestors();
  rearrangeWorn(0, 0, 0, tree_size_, everything);
  any_dirty_ = false;
}

std::expected<bool, Error> NearestIndex::update(EntityId id, HomVec4 position) {
  if (id.id == 0) return false;
  std::size_t r = findInDirectory(id.id, id.id - 1);
  const bool in_directory = r < ids_.size();
  const bool to_list =
      !in_directory || slots_[r] == kNone || slots_[r] >= tree_size_ || !inTree(position);
  if (auto room = makeRoom(in_directory ? 0 : 1, to_list ? 1 : 0); !room) {
    return std::unexpected(room.error());
  }
  r = findInDirectory(id.id, r);  // a rebuild may have moved it
  place(r, id.id, position);
  refitTree();
  rebuildIfWorn();
  return true;
}

std::expected<std::size_t, Error> NearestIndex::update(std::span<const EntityId> ids,
                                                       std::span<const HomVec4> positions) {
  const std::size_t n = std::min(ids.size(), positions.size());
  std::size_t new_ids = 0, to_list = 0;
  std::size_t hint = 0;
  for (std::size_t i = 0; i < n; ++i) {
    if (ids[i].id == 0) continue;
    const std::size_t r = findInDirectory(ids[i].id, hint);
    if (r == ids_.size()) {
      ++new_ids;
      ++to_list;
      continue;
    }
    hint = r + 1;
    to_list += slots_[r] == kNone || !inTree(positions[i]) ? 1U : 0U;
  }
  if (auto room = makeRoom(new_ids, to_list); !room) return std::unexpected(room.error());
  // A batch that may move more entities than place() marks one by one refits every ball; marked
  // first, it would walk down and up the tree for each of the first half-leaf-count entities.
  if (n > (std::size_t{1} << depth_) / 2) refit_all_ = true;
  std::size_t held = 0;
  hint = 0;
  for (std::size_t i = 0; i < n; ++i) {
    if (ids[i].id == 0) continue;
    const std::size_t r = findInDirectory(ids[i].id, hint);
    // As in refit: the slots ahead, in tree order, are requested early.
    if (r + kRefitPrefetch < slots_.size() && slots_[r + kRefitPrefetch] != kNone) {
      __builtin_prefetch(&positions_[slots_[r + kRefitPrefetch]], 1, 3);
    }
    if (r == ids_.size() || slots_[r] == kNone || !sameBits(positions_[slots_[r]], positions[i])) {
      place(r, ids[i].id, positions[i]);
    }
    hint = r + 1;
    ++held;
  }
  refitTree();
  rebuildIfWorn();
  return held;
}

bool NearestIndex::erase(EntityId id) noexcept {
  const std::size_t r = findInDirectory(id.id, id.id - 1);
  if (r == ids_.size() || slots_[r] == kNone) return false;
  letGo(r);
  rebuildIfWorn();
  return true;
}

// Lets the entity of directory position r go: a gap in the tree, or the list's last entry moved
// into its place. The directory keeps the id.
void NearestIndex::letGo(std::size_t r) noexcept {
  const std::uint32_t s = slots_[r];
  slots_[r] = kNone;
  --held_;
  if (s < tree_size_) {
    slot_ids_[s] = 0;
    ++gaps_;
    return;
  }
  const std::size_t last = positions_.size() - 1;
  if (s != last) {
    positions_[s] = positions_[last];
    slot_ids_[s] = slot_ids_[last];
    slots_[findInDirectory(slot_ids_[s], ids_.size())] = s;
  }
  positions_.pop_back();
  slot_ids_.pop_back();
}

// Two passes over the world and the directory side by side (both in increasing id): the first
// counts what needs room, the second applies the changes.
std::expected<void, Error> NearestIndex::refit(const World& world) {
  std::size_t new_ids = 0, to_list = 0, middle = 0;
  {
    std::size_t j = 0;
    for (const Entity& e : world.entities) {
      while (j < ids_.size() && ids_[j] < e.id.id) ++j;
      const bool in_directory = j < ids_.size() && ids_[j] == e.id.id;
      if (!e.isActive()) continue;
      if (!in_directory) {
        ++new_ids;
        ++to_list;
        middle += j < ids_.size() ? 1U : 0U;
      } else if (slots_[j] == kNone || !inTree(e.position)) {
        ++to_list;
      }
    }
  }
  // Many changes, or many ids to insert inside the directory: a build costs less.
  if (to_list > held_ / 4 + 64 || middle > 16) {
    releaseArrangementStorage();
    auto fresh = build(world, ids_.get_allocator().resource());
    if (!fresh) return std::unexpected(fresh.error());
    *this = std::move(*fresh);
    return {};
  }
  if (auto room = makeRoom(new_ids, to_list); !room) return std::unexpected(room.error());
  const auto eraseAt = [&](std::size_t r) {
    if (slots_[r] != kNone) letGo(r);
  };
  std::size_t j = 0;
  for (const Entity& e : world.entities) {
    // The positions compared below lie in tree order, at random for this walk in id order:
    // requested ahead, their loads overlap.
    if (j + kRefitPrefetch < ids_.size()) {
      const std::uint32_t ahead = slots_[j + kRefitPrefetch];
      if (ahead != kNone) __builtin_prefetch(&positions_[ahead], 1, 3);
    }
    while (j < ids_.size() && ids_[j] < e.id.id) eraseAt(j++);
    const bool in_directory = j < ids_.size() && ids_[j] == e.id.id;
    if (e.isActive()) {
      if (!in_directory) {
        place(ids_.size(), e.id.id, e.position);  // inserted at j
      } else if (slots_[j] == kNone || !sameBits(positions_[slots_[j]], e.position)) {
        place(j, e.id.id, e.position);
      }
      ++j;
    } else if (in_directory) {
      eraseAt(j++);
    }
  }
  while (j < ids_.size()) eraseAt(j++);
  refitTree();
  rebuildIfWorn(&world);
  return {};
}

}  // namespace nemra_ecs
