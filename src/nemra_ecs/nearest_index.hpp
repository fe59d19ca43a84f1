// NearestIndex: a snapshot of a world's active entities that answers the world's distance queries
// (findNearest, kNearest, withinDistance) without scanning every entity.
#include <nemra/config.hpp>

#if NEMRA_CXX23 && !defined(NEMRA_ECS_NEAREST_INDEX_HPP)
#define NEMRA_ECS_NEAREST_INDEX_HPP

#include <cstddef>
#include <cstdint>
#include <expected>
#include <memory_resource>
#include <optional>
#include <vector>

#include <nemra_ecs/error.hpp>
#include <nemra_ecs/ids.hpp>
#include <nemra_ecs/world.hpp>
#include <nemra_kernel/hom_vec4.hpp>

namespace nemra_ecs {

namespace detail {
// A ball of NearestIndex's tree: a unit centre, a Fubini–Study radius no smaller than the
// computed distance from the centre to any of its entities, and the radius's cosine and sine.
struct IndexBall {
  nemra_kernel::HomVec4 centre;
  double radius;
  double cos_radius;
  double sin_radius;
};
}  // namespace detail

// The ids and positions of a world's active entities at build time, arranged in a tree of balls
// of P³ (each a centre and a Fubini–Study radius). Every answer is the one the world's own call
// gave at build time, ties included: a ball or an entity is skipped only when it is provably
// farther, with a margin that covers rounding, and every other entity is decided by fsDistance.
// A query too short, too long or not finite, and entities whose positions are outside the range
// the bounds cover (not finite, or too short or long), are scanned.
//
// Owns its storage (from the allocator given to init or build): at most 58 bytes per entity.
// Move-only. Later changes to the world do not reach it.
class NEMRA_API NearestIndex {
 public:
  // An empty index on `allocator` (nullptr means std::pmr::get_default_resource()): every query
  // finds nothing. Allocates nothing and cannot fail.
  [[nodiscard]] static NearestIndex init(std::pmr::memory_resource* allocator) noexcept;

  // The index of `world`'s active entities. Error: OutOfMemory (also for more than 4294967295
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

  // Releases the storage; the index is then empty and may be rebuilt by assignment.
  void deinit();

  // The number of entities indexed.
  [[nodiscard]] std::size_t size() const noexcept { return ids_.size(); }

  // World::findNearest at build time.
  [[nodiscard]] std::optional<EntityId> nearest(nemra_kernel::HomVec4 query) const;
  // World::kNearest at build time. The list, and working storage for min(k, size()) entries
  // released before the return, come from `out` (nullptr means the default resource).
  [[nodiscard]] std::expected<std::pmr::vector<EntityId>, Error> kNearest(
      nemra_kernel::HomVec4 query, std::size_t k, std::pmr::memory_resource* out) const;
  // World::withinDistance at build time. The list, and working storage for the entities found
  // released before the return, come from `out`.
  [[nodiscard]] std::expected<std::pmr::vector<EntityId>, Error> withinDistance(
      nemra_kernel::HomVec4 query, double radius, std::pmr::memory_resource* out) const;

 private:
  explicit NearestIndex(std::pmr::memory_resource* allocator);

  template <class Visitor>
  void visit(nemra_kernel::HomVec4 query, Visitor& visitor) const;

  // The ids in creation order; an entity's rank is its place here.
  std::pmr::vector<EntityId> ids_;
  // Positions and ranks of the entities: the tree's first (in leaf order), then the scanned ones.
  std::pmr::vector<nemra_kernel::HomVec4> positions_;
  std::pmr::vector<std::uint32_t> ranks_;
  // A complete binary tree in heap order (the children of ball b are 2b + 1 and 2b + 2); ball b
  // covers a range of the tree's entries, halved at each level, and the leaves are the last
  // 2^depth_ balls.
  std::pmr::vector<detail::IndexBall> balls_;
  std::size_t tree_size_ = 0;
  std::size_t depth_ = 0;
};

}  // namespace nemra_ecs

#endif
