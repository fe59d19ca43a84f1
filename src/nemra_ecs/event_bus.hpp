// EventBus: a single-slot publisher that hands each dispatched event synchronously to its one
// handler; and the two event records the world's buses carry.
#include <nemra/config.hpp>

#if NEMRA_CXX23 && !defined(NEMRA_ECS_EVENT_BUS_HPP)
#define NEMRA_ECS_EVENT_BUS_HPP

#include <nemra_ecs/ids.hpp>
#include <nemra_kernel/hom_vec4.hpp>
#include <nemra_kernel/pgl4.hpp>

namespace nemra_ecs {

// An entity moved. fs_distance_moved is filled in by whoever builds the event; the bus neither
// computes nor checks it.
struct PositionChangedEvent {
  EntityId entity_id;
  nemra_kernel::HomVec4 old_position;
  nemra_kernel::HomVec4 new_position;
  double fs_distance_moved;
};

// An entity's world transform changed.
struct TransformChangedEvent {
  EntityId entity_id;
  nemra_kernel::PGL4 old_transform;
  nemra_kernel::PGL4 new_transform;
};

template <class Event>
struct EventBus {
  using Handler = void (*)(Event);

  // The handler, or nullptr for none. There is no context argument: the handler gets the event
  // and nothing else.
  Handler handler;

  [[nodiscard]] static constexpr EventBus init() noexcept { return EventBus{nullptr}; }

  // Replaces any earlier handler. Passing nullptr leaves the bus without a handler.
  constexpr void setHandler(Handler h) noexcept { handler = h; }

  // Calls the handler once with the event and returns when it returns; without a handler the
  // event is dropped. Nothing is queued.
  void dispatch(Event event) const {
    if (handler != nullptr) handler(event);
  }
};

}  // namespace nemra_ecs

#endif
