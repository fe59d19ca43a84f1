#include <cstddef>
#include <limits>
#include <new>
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
      transform_bus(EventBus<TransformChangedEvent>::init()) {}

World World::init(std::pmr::memory_resource* allocator) { return World(allocator); }

World& World::operator=(World&& other) noexcept {
  return detail::moveAssignByRebuild(*this, std::move(other));
}

void World::deinit() { detail::releaseStorage(entities); }

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

}  // namespace nemra_ecs
