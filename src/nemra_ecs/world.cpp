#include <cstddef>
#include <limits>
#include <new>
#include <stdexcept>
#include <utility>

#include <nemra_ecs/owning.hpp>
#include <nemra_ecs/world.hpp>

namespace nemra_ecs {

namespace {

constexpr std::uint64_t kExhaustedId = std::numeric_limits<std::uint64_t>::max();

}  // namespace

World::World(std::pmr::memory_resource* allocator)
    : entities(detail::resourceOrDefault(allocator)),
      next_id(1),
      position_bus(EventBus<PositionChangedEvent>::init()),
      transform_bus(EventBus<TransformChangedEvent>::init()),
      names_(detail::resourceOrDefault(allocator)),
      spare_names_(detail::resourceOrDefault(allocator)),
      spare_entities_(detail::resourceOrDefault(allocator)) {}

World World::init(std::pmr::memory_resource* allocator) noexcept { return World(allocator); }

World& World::operator=(World&& other) noexcept {
  return detail::moveAssignByRebuild(*this, std::move(other));
}

void World::deinit() noexcept {
  detail::releaseStorage(entities);
  detail::releaseStorage(names_);
  detail::releaseStorage(spare_names_);
  detail::releaseStorage(spare_entities_);
}

std::expected<EntityId, Error> World::createEntity(std::string_view name) {
  if (next_id == 0 || next_id == kExhaustedId) return std::unexpected(Error::IdentifiersExhausted);
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

std::expected<void, Error> World::reserve(std::size_t count) noexcept {
  try {
    entities.reserve(count);
  } catch (const std::bad_alloc&) {
    return std::unexpected(Error::OutOfMemory);
  } catch (const std::length_error&) {
    return std::unexpected(Error::OutOfMemory);
  }
  return {};
}

Entity* World::getEntity(EntityId id) noexcept {
  return const_cast<Entity*>(std::as_const(*this).getEntity(id));
}

// Ids are at least 1, distinct and increasing with position, so id k is at position k − 1 or,
// after failed creations, before it. Under these invariants at most one entity has the id, and
// finding it anywhere is finding the first match.
const Entity* World::getEntity(EntityId id) const noexcept {
  const std::uint64_t k = id.id;
  const std::size_t n = entities.size();
  if (k == 0 || n == 0) return nullptr;
  const Entity* const data = entities.data();
  // Ids below k can fill at most positions 0 .. k − 2.
  const std::size_t end = k < n ? static_cast<std::size_t>(k) : n;
  if (data[end - 1].id.id == k) return &data[end - 1];
  std::size_t lo = 0, hi = end - 1;  // the id, if present, is in [lo, hi)
  while (lo < hi) {
    const std::size_t mid = lo + (hi - lo) / 2;
    const std::uint64_t at = data[mid].id.id;
    if (at == k) return &data[mid];
    if (at < k) {
      lo = mid + 1;
    } else {
      hi = mid;
    }
  }
  return nullptr;
}

std::uint32_t World::activeCount() const noexcept {
  std::uint64_t count = 0;
  for (const Entity& e : entities) count += e.isActive() ? 1U : 0U;
  constexpr std::uint64_t max = std::numeric_limits<std::uint32_t>::max();
  return static_cast<std::uint32_t>(count < max ? count : max);
}

}  // namespace nemra_ecs
