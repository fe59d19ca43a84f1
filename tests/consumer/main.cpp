// Uses the installed headers and libraries; exits 0 when the results are the library's.
#include <cstdio>
#include <string_view>

#include <nemra/version.hpp>
#include <nemra_ecs/nemra_ecs.hpp>
#include <nemra_kernel/nemra_kernel.hpp>

static_assert(NEMRA_VERSION_MAJOR == 0 && NEMRA_VERSION_MINOR == 1);

int main() {
  using nemra_kernel::HomVec4;
  using nemra_kernel::PGL4;
  HomVec4 n = HomVec4::init(3, 0, 0, 4).normalize();
  if (n.x != 0.6 || n.w != 0.8) {
    std::fprintf(stderr, "normalize gave (%g, %g)\n", n.x, n.w);
    return 1;
  }
  // Through the library's chosen instruction set: an exact product and determinant.
  const PGL4 m = PGL4::mul(nemra_kernel::pglScale(2, 4, 8), nemra_kernel::pglTranslate(1, 2, 3));
  if (m.det() != 64.0 || m.apply(HomVec4::init(0, 0, 0, 1)) != HomVec4::init(2, 8, 24, 1)) {
    std::fputs("mul, det or apply gave a wrong result\n", stderr);
    return 1;
  }
  nemra_ecs::World world = nemra_ecs::World::init(nullptr);
  if (!world.createEntity("e") || world.activeCount() != 1) return 1;
  world.deinit();
  if (std::string_view(NEMRA_VERSION_STRING) != "0.1.0") return 1;
  std::puts("nemra consumer ok");
  return 0;
}
