// Uses the installed headers and libraries; exits 0 when the results are the library's.
#include <cstddef>
#include <cstdio>
#include <nemra_lockstep/nemra_lockstep.hpp>
#include <span>
#include <string_view>

#include <nemra/version.hpp>
#include <nemra_ecs/nemra_ecs.hpp>
#include <nemra_kernel/nemra_kernel.hpp>
#ifdef CONSUMER_HAS_ENET
#include <nemra_lockstep/enet_transport.hpp>
#endif

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
  // A packet through the lockstep codec and back.
  nemra_lockstep::Packet digest;
  digest.header.kind = nemra_lockstep::PacketKind::Digest;
  digest.header.session = 7;
  digest.digest = {12, 0x0123456789abcdefu};
  std::byte bytes[nemra_lockstep::MAX_PACKET_SIZE];
  const std::size_t size = nemra_lockstep::encodePacket(digest, bytes);
  const auto back = nemra_lockstep::decodePacket(std::span(bytes, size), 7);
  if (size != 24 || !back || back->digest.digest != 0x0123456789abcdefu) return 1;
#ifdef CONSUMER_HAS_ENET
  if (!nemra_lockstep::EnetTransport::init("127.0.0.1", 0, 1)) return 1;
#endif
  std::puts("nemra consumer ok");
  return 0;
}
