#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <unordered_set>
#include <utility>

#include <gtest/gtest.h>

#include <nemra_ecs/component.hpp>
#include <nemra_ecs/entity.hpp>
#include <nemra_ecs/error.hpp>
#include <nemra_ecs/ids.hpp>
#include <nemra_kernel/pgl4.hpp>

namespace {

using nemra_ecs::Component;
using nemra_ecs::ComponentState;
using nemra_ecs::ComponentTypeId;
using nemra_ecs::Entity;
using nemra_ecs::EntityId;
using nemra_ecs::EntityState;
using nemra_kernel::HomVec4;
using nemra_kernel::PGL4;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr std::uint64_t kU64Max = std::numeric_limits<std::uint64_t>::max();

TEST(EntityLifecycle, TransitionTableAndVersionSteps) {
  struct Row {
    EntityState from;
    EntityState after_activate;
    std::uint64_t activate_step;
    EntityState after_deactivate;
    std::uint64_t deactivate_step;
  };
  const Row rows[] = {
      {EntityState::init, EntityState::active, 1, EntityState::init, 0},
      {EntityState::active, EntityState::active, 0, EntityState::deactivating, 1},
      {EntityState::deactivating, EntityState::deactivating, 0, EntityState::deactivating, 0},
      {EntityState::inactive, EntityState::active, 1, EntityState::inactive, 0},
      {EntityState::destroyed, EntityState::destroyed, 0, EntityState::destroyed, 0},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(static_cast<int>(row.from));
    Entity a = Entity::init(3, "a");
    a.state = row.from;
    a.version = 10;
    a.activate();
    EXPECT_EQ(a.state, row.after_activate);
    EXPECT_EQ(a.version, 10 + row.activate_step);

    Entity d = Entity::init(3, "d");
    d.state = row.from;
    d.version = 10;
    d.deactivate();
    EXPECT_EQ(d.state, row.after_deactivate);
    EXPECT_EQ(d.version, 10 + row.deactivate_step);
  }
}

TEST(EntityLifecycle, NewEntityFields) {
  static constexpr char kName[] = "probe";
  Entity e = Entity::init(9, kName);
  EXPECT_EQ(e.id, EntityId::init(9));
  EXPECT_EQ(e.name.data(), kName);  // borrowed, not copied
  EXPECT_EQ(e.position, HomVec4::init(0, 0, 0, 1));
  EXPECT_EQ(e.world_transform, PGL4::identity());
  EXPECT_EQ(e.parent_id.id, 0U);
  EXPECT_EQ(e.version, 0U);
  EXPECT_EQ(e.state, EntityState::init);
  EXPECT_FALSE(e.isActive());
}

TEST(EntityVersion, EveryChangeCountsOnceAndNothingElse) {
  Entity e = Entity::init(1, "v");
  e.activate();
  e.activate();  // ignored
  EXPECT_EQ(e.version, 1U);
  e.setPosition(HomVec4::zero());  // rejected, still counted
  EXPECT_EQ(e.version, 2U);
  e.setWorldTransform(PGL4::identity());  // same value, still counted
  EXPECT_EQ(e.version, 3U);
  (void)e.distanceTo(e);
  (void)e.isActive();
  EXPECT_EQ(e.version, 3U);
  e.deactivate();
  e.activate();  // deactivating cannot be activated again
  e.deactivate();
  EXPECT_EQ(e.version, 4U);
  EXPECT_EQ(e.state, EntityState::deactivating);
}

TEST(EntityVersion, StopsAtTheMaximumInsteadOfWrapping) {
  Entity e = Entity::init(1, "v");
  e.version = kU64Max;
  e.setPosition(HomVec4::init(1, 0, 0, 0));
  e.setWorldTransform(PGL4::identity());
  e.activate();
  EXPECT_EQ(e.state, EntityState::active);
  EXPECT_EQ(e.version, kU64Max);
}

TEST(EntitySetPosition, StoresTheUnitRepresentativeOrKeepsTheOldOne) {
  const HomVec4 old = HomVec4::init(0, 0.6, 0.8, 0);
  const double h = std::sqrt(0.5);
  struct Row {
    HomVec4 input;
    std::optional<HomVec4> stored;  // none: the old position stays
  };
  const Row rows[] = {
      {HomVec4::init(0, 0, 0, 2), HomVec4::init(0, 0, 0, 1)},
      {HomVec4::init(-2, 0, 0, 0), HomVec4::init(-1, 0, 0, 0)},  // the sign is kept
      {HomVec4::init(0, 3, 0, 4), HomVec4::init(0, 0.6, 0, 0.8)},
      {HomVec4::init(2e-15, 0, 0, 0), HomVec4::init(1, 0, 0, 0)},
      {HomVec4::init(1e150, -1e150, 0, 0), HomVec4::init(h, -h, 0, 0)},
      {HomVec4::zero(), std::nullopt},
      {HomVec4::init(1e-16, 0, 0, 0), std::nullopt},
      {HomVec4::init(1e-15, 0, 0, 0), std::nullopt},  // the length must be strictly above 1e-15
      {HomVec4::init(5e-324, 0, 0, 0), std::nullopt},
      {HomVec4::init(kNaN, 0, 0, 1), std::nullopt},
      {HomVec4::init(kInf, 0, 0, 1), std::nullopt},
      {HomVec4::init(0, -kInf, 0, 0), std::nullopt},
      // Finite components whose squares overflow: the length is infinite and dividing by it
      // would store (0, 0, 0, 0).
      {HomVec4::init(1e200, 1e200, 0, 0), std::nullopt},
      {HomVec4::init(0, 0, 0, 1.7e308), std::nullopt},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(testing::Message()
                 << row.input.x << ' ' << row.input.y << ' ' << row.input.z << ' ' << row.input.w);
    Entity e = Entity::init(1, "p");
    e.position = old;
    e.version = 5;
    e.setPosition(row.input);
    EXPECT_EQ(e.version, 6U);
    const HomVec4 want = row.stored.value_or(old);
    EXPECT_NEAR(e.position.x, want.x, 1e-16);
    EXPECT_NEAR(e.position.y, want.y, 1e-16);
    EXPECT_NEAR(e.position.z, want.z, 1e-16);
    EXPECT_NEAR(e.position.w, want.w, 1e-16);
  }
}

TEST(EntityDistance, ProjectiveAndBlindToState) {
  Entity a = Entity::init(1, "a");
  Entity b = Entity::init(2, "b");
  EXPECT_EQ(a.distanceTo(b), 0.0);  // both at (0, 0, 0, 1)
  a.setPosition(HomVec4::init(1, 0, 0, 0));
  b.setPosition(HomVec4::init(-1, 0, 0, 0));
  EXPECT_EQ(a.distanceTo(b), 0.0);  // antipodes are one point
  b.setPosition(HomVec4::init(0, 0, 3, 0));
  b.state = EntityState::destroyed;
  EXPECT_NEAR(a.distanceTo(b), 1.5707963267948966, 1e-15);
  EXPECT_EQ(a.distanceTo(b), b.distanceTo(a));
}

TEST(ComponentLifecycle, TransitionTable) {
  struct Row {
    ComponentState from;
    ComponentState after_activate;
    ComponentState after_deactivate;
  };
  const Row rows[] = {
      {ComponentState::init, ComponentState::active, ComponentState::init},
      {ComponentState::active, ComponentState::active, ComponentState::inactive},
      {ComponentState::inactive, ComponentState::active, ComponentState::inactive},
      {ComponentState::destroyed, ComponentState::destroyed, ComponentState::destroyed},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(static_cast<int>(row.from));
    Component a = Component::init(ComponentTypeId::fromId(4), EntityId::init(2), "c");
    a.state = row.from;
    a.activate();
    EXPECT_EQ(a.state, row.after_activate);
    Component d = a;
    d.state = row.from;
    d.deactivate();
    EXPECT_EQ(d.state, row.after_deactivate);
  }
}

TEST(ComponentLifecycle, SwitchesBackAndForth) {
  Component c = Component::init(ComponentTypeId::fromId(1), EntityId::init(1), "transform");
  EXPECT_EQ(c.state, ComponentState::init);
  for (int i = 0; i < 3; ++i) {
    c.activate();
    EXPECT_TRUE(c.isActive());
    c.deactivate();
    EXPECT_FALSE(c.isActive());
  }
  EXPECT_EQ(c.state, ComponentState::inactive);
}

TEST(Identifiers, ValidityAndKeys) {
  EXPECT_FALSE(EntityId::init(0).isValid());
  EXPECT_TRUE(EntityId::init(kU64Max).isValid());
  EXPECT_FALSE(nemra_ecs::ArchetypeId::init(0).isValid());
  // Records compare, and hash, by their one number.
  std::unordered_set<EntityId> entities{EntityId::init(7), EntityId::init(7), EntityId::init(8)};
  EXPECT_EQ(entities.size(), 2U);
  std::unordered_set<ComponentTypeId> types{ComponentTypeId::fromId(0), ComponentTypeId::fromId(0)};
  EXPECT_EQ(types.size(), 1U);  // 0 is an ordinary type
  std::unordered_set<nemra_ecs::ArchetypeId> archetypes{nemra_ecs::ArchetypeId::init(1),
                                                        nemra_ecs::ArchetypeId::init(2)};
  EXPECT_EQ(archetypes.count(nemra_ecs::ArchetypeId::init(2)), 1U);
}

template <class Name>
concept CanNameEntity = requires(Name&& name) {
  Entity::init(1, std::forward<Name>(name));
};
template <class Name>
concept CanNameComponent = requires(Name&& name) {
  Component::init(ComponentTypeId::fromId(1), EntityId::init(1), std::forward<Name>(name));
};
static_assert(!CanNameEntity<std::string> && !CanNameComponent<std::string>);
static_assert(CanNameEntity<std::string&> && CanNameComponent<const std::string&>);
static_assert(CanNameEntity<const char (&)[3]> && CanNameComponent<std::string_view>);

TEST(Printing, IdentifiersStatesAndErrorsByName) {
  std::ostringstream os;
  os << EntityId::init(7) << ' ' << ComponentTypeId::fromId(3) << ' '
     << nemra_ecs::ArchetypeId::init(2) << ' ' << nemra_ecs::Error::OutOfMemory << ' '
     << EntityState::deactivating << ' ' << ComponentState::inactive << ' '
     << static_cast<EntityState>(9);
  EXPECT_EQ(os.str(),
            "EntityId(7) ComponentTypeId(3) ArchetypeId(2) OutOfMemory deactivating inactive "
            "EntityState(9)");
}

}  // namespace
