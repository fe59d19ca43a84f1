// Fuzz target for the lockstep packet decoder. Each input is decoded twice: for session 0x5eed
// (the seeds' session) and for the session its own header names, so that mutations also reach the
// bodies. An accepted packet must encode back to exactly the input bytes (every byte of a packet
// is accounted for), and its inputs must lie inside the input.
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <nemra_lockstep/packet.hpp>
#include <span>

namespace {

void fail(const char* what) {
  std::fprintf(stderr, "lockstep_packet_fuzz: %s\n", what);
  std::abort();
}

void check(std::span<const std::byte> bytes, std::uint32_t session) {
  const auto decoded = nemra_lockstep::decodePacket(bytes, session);
  if (!decoded) return;
  const auto& in = decoded->input.inputs;
  if (!in.empty() &&
      (in.data() < bytes.data() || in.data() + in.size() > bytes.data() + bytes.size())) {
    fail("inputs outside the packet");
  }
  std::array<std::byte, nemra_lockstep::MAX_PACKET_SIZE> out{};
  const std::size_t n = nemra_lockstep::encodePacket(*decoded, out);
  if (n != bytes.size()) fail("an accepted packet encodes to another length");
  for (std::size_t i = 0; i < n; ++i) {
    if (out[i] != bytes[i]) fail("an accepted packet encodes to other bytes");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::span<const std::byte> bytes(reinterpret_cast<const std::byte*>(data), size);
  check(bytes, 0x5eed);
  if (size >= 8) {
    std::uint32_t session = 0;
    for (int i = 0; i < 4; ++i) session |= std::uint32_t{data[4 + i]} << (8 * i);
    check(bytes, session);
  }
  return 0;
}
