// The named checks of nemra_ecs, in registration order. Checks that build worlds, registries or
// query results put them on the runner's leak-checking allocator and release them with deinit;
// when an assertion throws, the destructors release them instead.
#include <nemra_ecs/checks/checks.hpp>
#include <nemra_ecs/nemra_ecs.hpp>
#include <nemra_kernel/hom_vec4.hpp>
#include <nemra_kernel/pgl4.hpp>
#include <selfcheck/check/assertions.hpp>
#include <selfcheck/check/test_allocator.hpp>

namespace nemra_ecs {
namespace {

using nemra_kernel::HomVec4;
using selfcheck::expect;
using selfcheck::expectApproxEqAbs;
using selfcheck::tryValue;

void entityCreationAndLifecycle() {
  Entity e = Entity::init(1, "test_entity");
  expect(e.state == EntityState::init);
  expect(!e.isActive());
  e.activate();
  expect(e.isActive());
  expect(e.state == EntityState::active);
  e.deactivate();
  expect(e.state == EntityState::deactivating);
}

void entityPosition() {
  Entity e = Entity::init(1, "point");
  e.setPosition(HomVec4::fromCartesian(3, 4, 0));
  expectApproxEqAbs(1.0, e.position.norm(), 1e-10);
}

void entityFsDistance() {
  Entity a = Entity::init(1, "a");
  a.setPosition(HomVec4::init(1, 0, 0, 0));
  Entity b = Entity::init(2, "b");
  b.setPosition(HomVec4::init(0, 1, 0, 0));
  expectApproxEqAbs(1.5707963267948966, a.distanceTo(b), 1e-10);
}

void entityIdValidity() {
  expect(EntityId::init(42).isValid());
  expect(!EntityId::invalid().isValid());
}

void componentLifecycle() {
  Component c = Component::init(ComponentTypeId::fromId(1), EntityId::init(1), "transform");
  expect(!c.isActive());
  c.activate();
  expect(c.isActive());
  c.deactivate();
  expect(!c.isActive());
}

void worldCreateAndFind() {
  World world = World::init(selfcheck::testAllocator());
  EntityId id = tryValue(world.createEntity("player"));
  expect(id.isValid());
  Entity* e = world.getEntity(id);
  expect(e != nullptr);
  expect(e->isActive());
  world.deinit();
}

void worldFindNearest() {
  World world = World::init(selfcheck::testAllocator());
  EntityId id1 = tryValue(world.createEntity("near"));
  EntityId id2 = tryValue(world.createEntity("far"));
  if (Entity* e = world.getEntity(id1)) e->setPosition(HomVec4::init(1, 0, 0, 0));
  if (Entity* e = world.getEntity(id2)) e->setPosition(HomVec4::init(0, 1, 0, 0));
  auto nearest = world.findNearest(HomVec4::init(0.9, 0.1, 0, 0));
  expect(nearest.has_value());
  expect(nearest->id == id1.id);
  world.deinit();
}

void worldActiveCount() {
  World world = World::init(selfcheck::testAllocator());
  tryValue(world.createEntity("a"));
  tryValue(world.createEntity("b"));
  tryValue(world.createEntity("c"));
  expect(world.activeCount() == 3);
  world.deinit();
}

struct Handler {
  static void handle(PositionChangedEvent) {}
};

void eventBusDispatch() {
  auto bus = EventBus<PositionChangedEvent>::init();
  bus.setHandler(&Handler::handle);
  bus.dispatch(PositionChangedEvent{
      .entity_id = EntityId::init(1),
      .old_position = HomVec4::zero(),
      .new_position = HomVec4::zero(),
      .fs_distance_moved = 0.0,
  });
}

void entityVersionTracking() {
  Entity e = Entity::init(1, "tracked");
  std::uint64_t before = e.version;
  e.setPosition(HomVec4::init(1, 0, 0, 0));
  expect(e.version > before);
}

void entityWorldTransform() {
  Entity e = Entity::init(1, "transformed");
  e.setWorldTransform(nemra_kernel::pglTranslate(1, 2, 3));
  expectApproxEqAbs(1.0, e.world_transform.get(0, 3), 1e-10);
}

void archetypeCreation() {
  ArchetypeRegistry registry = ArchetypeRegistry::init(selfcheck::testAllocator());
  const ComponentTypeId types[] = {ComponentTypeId::fromId(1), ComponentTypeId::fromId(2)};
  ArchetypeId id = tryValue(registry.createArchetype(types));
  expect(id.isValid());
  expect(registry.count() == 1);
  registry.deinit();
}

void archetypeHasComponent() {
  ArchetypeRegistry registry = ArchetypeRegistry::init(selfcheck::testAllocator());
  const ComponentTypeId types[] = {ComponentTypeId::fromId(1), ComponentTypeId::fromId(2)};
  ArchetypeId id = tryValue(registry.createArchetype(types));
  const Archetype* archetype = registry.getArchetype(id);
  expect(archetype != nullptr);
  expect(archetype->hasComponent(ComponentTypeId::fromId(1)));
  expect(archetype->hasComponent(ComponentTypeId::fromId(2)));
  expect(!archetype->hasComponent(ComponentTypeId::fromId(99)));
  registry.deinit();
}

void archetypeEntityCount() {
  ArchetypeRegistry registry = ArchetypeRegistry::init(selfcheck::testAllocator());
  const ComponentTypeId types[] = {ComponentTypeId::fromId(1)};
  ArchetypeId id = tryValue(registry.createArchetype(types));
  Archetype* archetype = registry.getArchetype(id);
  expect(archetype != nullptr);
  archetype->addEntity();
  archetype->addEntity();
  archetype->addEntity();
  expect(archetype->entity_count == 3);
  archetype->removeEntity();
  expect(archetype->entity_count == 2);
  registry.deinit();
}

constexpr ComponentTypeId TRANSFORM = ComponentTypeId::fromId(1);
constexpr ComponentTypeId PHYSICS = ComponentTypeId::fromId(2);
constexpr ComponentTypeId RENDER = ComponentTypeId::fromId(3);

void queryFilterMatches() {
  ArchetypeRegistry registry = ArchetypeRegistry::init(selfcheck::testAllocator());
  const ComponentTypeId transform_physics[] = {TRANSFORM, PHYSICS};
  const ComponentTypeId transform_render[] = {TRANSFORM, RENDER};
  const ComponentTypeId physics_render[] = {PHYSICS, RENDER};
  tryValue(registry.createArchetype(transform_physics));
  tryValue(registry.createArchetype(transform_render));
  tryValue(registry.createArchetype(physics_render));
  const ComponentTypeId required[] = {TRANSFORM};
  QueryResult result =
      tryValue(registry.query(selfcheck::testAllocator(), QueryFilter::init(required)));
  expect(result.matching_archetypes.size() == 2);
  result.deinit();
  registry.deinit();
}

void queryFilterWithExclusions() {
  ArchetypeRegistry registry = ArchetypeRegistry::init(selfcheck::testAllocator());
  const ComponentTypeId transform_physics[] = {TRANSFORM, PHYSICS};
  const ComponentTypeId transform_render[] = {TRANSFORM, RENDER};
  const ComponentTypeId all_three[] = {TRANSFORM, PHYSICS, RENDER};
  tryValue(registry.createArchetype(transform_physics));
  tryValue(registry.createArchetype(transform_render));
  tryValue(registry.createArchetype(all_three));
  const ComponentTypeId required[] = {TRANSFORM};
  const ComponentTypeId excluded[] = {RENDER};
  QueryResult result = tryValue(registry.query(
      selfcheck::testAllocator(), QueryFilter::initWithExclusions(required, excluded)));
  expect(result.matching_archetypes.size() == 1);
  result.deinit();
  registry.deinit();
}

void archetypeIdValidity() {
  expect(ArchetypeId::init(5).isValid());
  expect(!ArchetypeId::invalid().isValid());
}

constexpr selfcheck::Check kChecks[] = {
    {"nemra_ecs.test.ECS: Entity creation and lifecycle", entityCreationAndLifecycle},
    {"nemra_ecs.test.ECS: Entity position in P³", entityPosition},
    {"nemra_ecs.test.ECS: Entity FS distance", entityFsDistance},
    {"nemra_ecs.test.ECS: EntityId validity", entityIdValidity},
    {"nemra_ecs.test.ECS: Component lifecycle", componentLifecycle},
    {"nemra_ecs.test.ECS: World create and find", worldCreateAndFind},
    {"nemra_ecs.test.ECS: World findNearest", worldFindNearest},
    {"nemra_ecs.test.ECS: World active count", worldActiveCount},
    {"nemra_ecs.test.ECS: EventBus dispatch", eventBusDispatch},
    {"nemra_ecs.test.ECS: Entity version tracking", entityVersionTracking},
    {"nemra_ecs.test.ECS: Entity world transform PGL4", entityWorldTransform},
    {"nemra_ecs.test.ECS: Archetype creation", archetypeCreation},
    {"nemra_ecs.test.ECS: Archetype has component", archetypeHasComponent},
    {"nemra_ecs.test.ECS: Archetype entity count", archetypeEntityCount},
    {"nemra_ecs.test.ECS: Query filter matches", queryFilterMatches},
    {"nemra_ecs.test.ECS: Query filter with exclusions", queryFilterWithExclusions},
    {"nemra_ecs.test.ECS: ArchetypeId validity", archetypeIdValidity},
};

}  // namespace

selfcheck::CheckTable checks() { return kChecks; }

}  // namespace nemra_ecs
