// World: the store of entities. It hands out entity identifiers, creates entities already
// activated, finds them by identifier, finds the active entities nearest to a point of P³ (or
// within a distance of it) and counts the active ones. It also holds one event bus for position
// changes and one for transform changes, which only the world's holder dispatches.
#include <nemra/config.hpp>

#if NEMRA_CXX23 && !defined(NEMRA_ECS_WORLD_HPP)
#define NEMRA_ECS_WORLD_HPP

#include <cstddef>
#include <cstdint>
#include <expected>
#include <memory_resource>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include <nemra_ecs/entity.hpp>
#include <nemra_ecs/error.hpp>
#include <nemra_ecs/event_bus.hpp>
#include <nemra_ecs/ids.hpp>
#include <nemra_ecs/nearest_search.hpp>
#include <nemra_kernel/fs_distance.hpp>
#include <nemra_kernel/hom_vec4.hpp>

namespace nemra_ecs {

// Owns the storage of its entity array (from the allocator given to init). Move-only: a copied
// array would silently switch to the default resource.
//
// Invariants kept by the world: every entity has an id of at least 1; the ids are distinct,
// increase with position and are all below next_id.
class NEMRA_API World {
 public:
  // The entities, held by value, in creation order. Appending may move them: a pointer into the
  // array is good only until the next createEntity, deinit or move-assignment.
  std::pmr::vector<Entity> entities;
  // The number the next createEntity draws. 2^64 − 1 is never handed out: it marks the counter
  // as used up.
  std::uint64_t next_id;
  EventBus<PositionChangedEvent> position_bus;
  EventBus<TransformChangedEvent> transform_bus;

  // An empty world on `allocator` (nullptr means std::pmr::get_default_resource()). Allocates
  // nothing and cannot fail.
  [[nodiscard]] static World init(std::pmr::memory_resource* allocator) noexcept;

  World(World&& other) noexcept = default;
  // Releases this world's storage and takes over other's, allocator included.
  World& operator=(World&& other) noexcept;
  World(const World&) = delete;
  World& operator=(const World&) = delete;
  ~World() = default;

  // Releases the storage of the entity array; the world is then empty and may be used again.
  // No entity is deactivated and the buses are left as they are.
  void deinit() noexcept;

  // Creates an entity named `name` (borrowed, not copied), activates it (version 1) and appends
  // it. The number is drawn first, so a call that then fails still uses it up. Errors:
  // OutOfMemory (the world is unchanged but for next_id), IdentifiersExhausted (next_id is
  // 2^64 − 1 or was set to 0; the world is unchanged).
  [[nodiscard]] std::expected<EntityId, Error> createEntity(std::string_view name);
  // A temporary string cannot be a borrowed name (see detail::TemporaryString).
  template <class S>
  requires detail::TemporaryString<S> std::expected<EntityId, Error> createEntity(S&& name)
  = delete;

  // Room for `count` entities in all, so that creating up to that many appends without moving
  // the records already there (each is 208 bytes). Nothing else changes. Error: OutOfMemory (the
  // world is unchanged).
  [[nodiscard]] std::expected<void, Error> reserve(std::size_t count) noexcept;

  // The first entity whose id equals `id`, in any state, or nullptr. A changeable reference into
  // the array, good until the next createEntity, deinit or move-assignment.
  //
  // Constant expected time: the invariants above put id k at position k − 1 unless creations
  // failed, which is looked at first; otherwise a binary search over the positions before it.
  // The answer is the first-match scan's as long as the invariants hold, so a holder that writes
  // to `entities` directly must not change ids or the order of the records.
  [[nodiscard]] Entity* getEntity(EntityId id) noexcept;
  [[nodiscard]] const Entity* getEntity(EntityId id) const noexcept;

  // The id of the active entity nearest to `position` by Fubini–Study distance; of equally near
  // ones the first in creation order. None when no entity is active.
  [[nodiscard]] std::optional<EntityId> findNearest(nemra_kernel::HomVec4 position) const;

  // The ids of the k active entities nearest to `query`, nearest first, equally near ones in
  // creation order: the first k of a stable sort of the active entities by fsDistance. Fewer when
  // fewer are active; none for k = 0. The list, and working storage for min(k, entities.size())
  // entries released before the return, come from `out` (nullptr means the default resource).
  // Error: OutOfMemory (nothing is leaked). One fsDistance per active entity.
  [[nodiscard]] std::expected<std::pmr::vector<EntityId>, Error> kNearest(
      nemra_kernel::HomVec4 query, std::size_t k, std::pmr::memory_resource* out) const;

  // The ids of the active entities with fsDistance(query, position) <= radius, in creation order;
  // none for a NaN or negative radius. The list comes from `out`. Error: OutOfMemory.
  [[nodiscard]] std::expected<std::pmr::vector<EntityId>, Error> withinDistance(
      nemra_kernel::HomVec4 query, double radius, std::pmr::memory_resource* out) const;

  // The number of entities in state active; saturates at 4294967295.
  [[nodiscard]] std::uint32_t activeCount() const noexcept;

  // --- Movement in bulk (world_motion.cpp) ---
  // For each i below min(ids.size(), points.size()), in order: getEntity(ids[i])->setPosition(
  // points[i]) when the entity exists, with setPosition's normalisation, refusal of unusable
  // points and version rule, and the same bits. Ids not in the world are skipped. Returns how
  // many entities were found. Ids given in creation order (the usual case: a pass over a
  // component's rows) are found without a search.
  std::size_t setPositions(std::span<const EntityId> ids,
                           std::span<const nemra_kernel::HomVec4> points) noexcept;
  // setPositions(ids, points) over i below n = min(ids.size(), points.size(), stored.size()), and
  // stored[i] = the position entity ids[i] holds afterwards (left as it was for an id not in the
  // world). When every id is in the world, NearestIndex::update(ids.first(n), stored.first(n))
  // then follows the move without reading the world again.
  std::size_t setPositions(std::span<const EntityId> ids,
                           std::span<const nemra_kernel::HomVec4> points,
                           std::span<nemra_kernel::HomVec4> stored) noexcept;

  // --- Filtered distance queries (defined below the class) ---
  // findNearest, kNearest and withinDistance over the active entities that pass `filter`: the
  // same literal scans, each taking one fsDistance per active entity that passes.
  template <class Keep>
  [[nodiscard]] std::optional<EntityId> findNearest(nemra_kernel::HomVec4 query,
                                                    const NearestFilter<Keep>& filter) const;
  template <class Keep>
  [[nodiscard]] std::expected<std::pmr::vector<EntityId>, Error> kNearest(
      nemra_kernel::HomVec4 query, std::size_t k, std::pmr::memory_resource* out,
      const NearestFilter<Keep>& filter) const;
  template <class Keep>
  [[nodiscard]] std::expected<std::pmr::vector<EntityId>, Error> withinDistance(
      nemra_kernel::HomVec4 query, double radius, std::pmr::memory_resource* out,
      const NearestFilter<Keep>& filter) const;

 private:
  friend struct SnapshotAccess;
  explicit World(std::pmr::memory_resource* allocator);

  // The names of entities made by loadSnapshot or restoreSnapshot, copied out of the snapshot
  // (their `name` views point here), and the buffer the next restore fills before the two swap.
  std::pmr::vector<char> names_;
  std::pmr::vector<char> spare_names_;
  // The entity array a restore fills before it swaps with `entities` (the replaced array then
  // waits here for the next restore).
  std::pmr::vector<Entity> spare_entities_;
};

// --- Filtered distance queries ---

template <class Keep>
std::optional<EntityId> World::findNearest(nemra_kernel::HomVec4 query,
                                           const NearestFilter<Keep>& filter) const {
  std::optional<EntityId> best;
  double best_distance = detail::kAboveEveryDistance;
  for (const Entity& e : entities) {
    if (!e.isActive() || !filter.passes(e.id)) continue;
    const double d = nemra_kernel::fsDistance(query, e.position);
    if (d < best_distance) {
      best_distance = d;
      best = e.id;
    }
  }
  return best;
}

template <class Keep>
std::expected<std::pmr::vector<EntityId>, Error> World::kNearest(
    nemra_kernel::HomVec4 query, std::size_t k, std::pmr::memory_resource* out,
    const NearestFilter<Keep>& filter) const {
  // Ranked by id, which is creation order.
  return detail::kNearestList<std::uint64_t>(
      k, entities.size(), out,
      [&](detail::KSmallest<std::uint64_t>& kept) {
        for (const Entity& e : entities) {
          if (e.isActive() && filter.passes(e.id)) {
            kept.offer(nemra_kernel::fsDistance(query, e.position), e.id.id);
          }
        }
      },
      [](std::uint64_t id) { return EntityId::init(id); });
}

template <class Keep>
std::expected<std::pmr::vector<EntityId>, Error> World::withinDistance(
    nemra_kernel::HomVec4 query, double radius, std::pmr::memory_resource* out,
    const NearestFilter<Keep>& filter) const {
  return detail::idList(out, [&](std::pmr::vector<EntityId>& ids) {
    if (!(radius >= 0.0)) return;
    for (const Entity& e : entities) {
      if (e.isActive() && filter.passes(e.id) &&
          nemra_kernel::fsDistance(query, e.position) <= radius) {
        ids.push_back(e.id);
      }
    }
  });
}

}  // namespace nemra_ecs

#endif
