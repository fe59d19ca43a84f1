// Umbrella header of the entity-component system.
#include <nemra/config.hpp>

#if NEMRA_CXX23 && !defined(NEMRA_ECS_NEMRA_ECS_HPP)
#define NEMRA_ECS_NEMRA_ECS_HPP

#include <nemra_ecs/archetype.hpp>
#include <nemra_ecs/archetype_registry.hpp>
#include <nemra_ecs/component.hpp>
#include <nemra_ecs/component_store.hpp>
#include <nemra_ecs/entity.hpp>
#include <nemra_ecs/error.hpp>
#include <nemra_ecs/event_bus.hpp>
#include <nemra_ecs/ids.hpp>
#include <nemra_ecs/nearest_index.hpp>
#include <nemra_ecs/nearest_search.hpp>
#include <nemra_ecs/query.hpp>
#include <nemra_ecs/snapshot.hpp>
#include <nemra_ecs/snapshot_diff.hpp>
#include <nemra_ecs/world.hpp>

#endif
