#include <nemra_ecs/nemra_ecs.hpp>
