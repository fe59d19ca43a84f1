// Entity: an object placed in P³ with a homogeneous position, a world transform, a change counter
// and a lifecycle. A plain value record: the holder reads and may write its fields directly.
#include <nemra/config.hpp>

#if NEMRA_CXX23 && !defined(NEMRA_ECS_ENTITY_HPP)
#define NEMRA_ECS_ENTITY_HPP

#include <cstdint>
#include <iosfwd>
#include <limits>
#include <string_view>

#include <nemra_ecs/ids.hpp>
#include <nemra_kernel/hom_vec4.hpp>
#include <nemra_kernel/pgl4.hpp>

namespace nemra_ecs {

// Lifecycle of an entity. activate leads from init or inactive to active, deactivate from active
// to deactivating; nothing in the library enters inactive or destroyed (a holder may store them).
enum class EntityState : std::uint8_t {
  init = 0,
  active = 1,
  deactivating = 2,
  inactive = 3,
  destroyed = 4,
};

// The state's name: "init", "active", "deactivating", "inactive" or "destroyed"
// ("EntityState(n)" for any other value).
NEMRA_API std::ostream& operator<<(std::ostream& os, EntityState state);

struct NEMRA_API Entity {
  EntityId id;
  // Borrowed: the entity refers to the caller's bytes, which must outlive it.
  std::string_view name;
  // A representative of Euclidean length 1 once setPosition has accepted a point; (0, 0, 0, 1)
  // before.
  nemra_kernel::HomVec4 position;
  nemra_kernel::PGL4 world_transform;
  // Invalid after init; nothing in the library reads or changes it.
  EntityId parent_id;
  // Rises by one at every successful activate or deactivate and every setPosition or
  // setWorldTransform call; never falls. It stops at 2^64 − 1 rather than wrapping to 0.
  std::uint64_t version;
  EntityState state;

  // A new entity: state init, version 0, at the affine origin (0, 0, 0, 1), identity transform,
  // no parent.
  [[nodiscard]] static constexpr Entity init(std::uint64_t id, std::string_view name) noexcept {
    return Entity{
        .id = EntityId::init(id),
        .name = name,
        .position = nemra_kernel::HomVec4::fromCartesian(0.0, 0.0, 0.0),
        .world_transform = nemra_kernel::PGL4::identity(),
        .parent_id = EntityId::invalid(),
        .version = 0,
        .state = EntityState::init,
    };
  }
  // A temporary string cannot be a borrowed name (see detail::TemporaryString).
  template <class S>
  requires detail::TemporaryString<S>
  static Entity init(std::uint64_t id, S&& name) = delete;

  [[nodiscard]] constexpr bool isActive() const noexcept { return state == EntityState::active; }

  // init or inactive → active (version + 1); any other state is left unchanged.
  constexpr void activate() noexcept {
    if (state == EntityState::init || state == EntityState::inactive) {
      state = EntityState::active;
      bumpVersion();
    }
  }

  // active → deactivating (version + 1); any other state is left unchanged.
  constexpr void deactivate() noexcept {
    if (state == EntityState::active) {
      state = EntityState::deactivating;
      bumpVersion();
    }
  }

  // Stores pos divided by its Euclidean length. A point that cannot be normalised — length at
  // or below 1e-15, infinite or NaN, or a normalised form that is not finite — leaves the old
  // position in place, so a stored position is always finite. The version rises by one either
  // way.
  void setPosition(nemra_kernel::HomVec4 pos) noexcept;

  // Stores m unchanged (no normalisation, no check); version + 1.
  constexpr void setWorldTransform(const nemra_kernel::PGL4& m) noexcept {
    world_transform = m;
    bumpVersion();
  }

  // Fubini–Study distance between the two positions, in [0, π/2]. States are not looked at.
  [[nodiscard]] double distanceTo(const Entity& other) const noexcept;

 private:
  constexpr void bumpVersion() noexcept {
    if (version != std::numeric_limits<std::uint64_t>::max()) ++version;
  }
};

}  // namespace nemra_ecs

#endif
