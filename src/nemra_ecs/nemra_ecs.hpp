// Umbrella header of the entity-component system.
#ifndef NEMRA_ECS_NEMRA_ECS_HPP
#define NEMRA_ECS_NEMRA_ECS_HPP

#include <nemra_ecs/error.hpp>

#endif
