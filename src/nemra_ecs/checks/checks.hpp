// The named checks of nemra_ecs, in registration order.
#ifndef NEMRA_ECS_CHECKS_HPP
#define NEMRA_ECS_CHECKS_HPP

#include <selfcheck/check/check.hpp>

namespace nemra_ecs {

selfcheck::CheckTable checks();

}  // namespace nemra_ecs

#endif
