// Uses the installed headers and libraries; exits 0 when the results are the library's.
#include <cstdio>

#include <nemra_ecs/nemra_ecs.hpp>
#include <nemra_kernel/nemra_kernel.hpp>

int main() {
  using nemra_kernel::HomVec4;
  HomVec4 n = HomVec4::init(3, 0, 0, 4).normalize();
  if (n.x != 0.6 || n.w != 0.8) {
    std::fprintf(stderr, "normalize gave (%g, %g)\n", n.x, n.w);
    return 1;
  }
  if (nemra_ecs::errorName(nemra_ecs::Error::OutOfMemory) != "OutOfMemory") return 1;
  std::puts("nemra consumer ok");
  return 0;
}
