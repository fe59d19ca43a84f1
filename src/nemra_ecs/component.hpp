// Component: a named component of one type attached to one entity, with its own lifecycle.
// A plain value record.
#include <nemra/config.hpp>

#if NEMRA_CXX23 && !defined(NEMRA_ECS_COMPONENT_HPP)
#define NEMRA_ECS_COMPONENT_HPP

#include <cstdint>
#include <iosfwd>
#include <string_view>

#include <nemra_ecs/ids.hpp>

namespace nemra_ecs {

// Lifecycle of a component: it switches between active and inactive any number of times; nothing
// in the library enters destroyed. There is no deactivating state and no version counter.
enum class ComponentState : std::uint8_t {
  init = 0,
  active = 1,
  inactive = 2,
  destroyed = 3,
};

// The state's name: "init", "active", "inactive" or "destroyed" ("ComponentState(n)" for any
// other value).
NEMRA_API std::ostream& operator<<(std::ostream& os, ComponentState state);

struct Component {
  ComponentTypeId type_id;
  // The entity the component belongs to; no world is consulted.
  EntityId entity_id;
  // Borrowed: the caller's bytes, which must outlive the component.
  std::string_view name;
  ComponentState state;

  [[nodiscard]] static constexpr Component init(ComponentTypeId type_id, EntityId entity_id,
                                                std::string_view name) noexcept {
    return Component{type_id, entity_id, name, ComponentState::init};
  }
  // A temporary string cannot be a borrowed name (see detail::TemporaryString).
  template <class S>
  requires detail::TemporaryString<S>
  static Component init(ComponentTypeId type_id, EntityId entity_id, S&& name) = delete;

  [[nodiscard]] constexpr bool isActive() const noexcept { return state == ComponentState::active; }

  // init or inactive → active; any other state is left unchanged.
  constexpr void activate() noexcept {
    if (state == ComponentState::init || state == ComponentState::inactive) {
      state = ComponentState::active;
    }
  }

  // active → inactive; any other state is left unchanged.
  constexpr void deactivate() noexcept {
    if (state == ComponentState::active) state = ComponentState::inactive;
  }
};

}  // namespace nemra_ecs

#endif
