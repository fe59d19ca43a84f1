// Compiled with -std=c++20: must stop with nemra's one #error.
#include <nemra/version.hpp>
#include <nemra_ecs/nemra_ecs.hpp>
#include <nemra_kernel/nemra_kernel.hpp>

int main() { return 0; }
