#include <nemra_ecs/checks.hpp>
#include <nemra_ecs/nemra_ecs.hpp>
#include <selfcheck/assertions.hpp>

namespace nemra_ecs {

selfcheck::CheckTable checks() { return {}; }

}  // namespace nemra_ecs
