#include <cstddef>
#include <cstdint>
#include <nemra_lockstep/in_process_network.hpp>
#include <vector>

#include <gtest/gtest.h>

namespace {

using namespace nemra_lockstep;

// 2000 numbered datagrams from 0 to 1, sent one per millisecond; the numbers as received.
std::vector<std::uint32_t> deliveries(NetworkFaults faults, NetworkCounters* counters) {
  InProcessNetwork net = InProcessNetwork::init(2, faults, nullptr);
  auto a = net.endpoint(0);
  auto b = net.endpoint(1);
  std::vector<std::uint32_t> got;
  auto drain = [&] {
    std::byte buf[4];
    PeerAddress from;
    while (auto n = b.receive(from, buf)) {
      EXPECT_EQ(*n, 4u);
      EXPECT_EQ(from, a.address());
      std::uint32_t v = 0;
      for (int i = 0; i < 4; ++i) v |= std::to_integer<std::uint32_t>(buf[i]) << (8 * i);
      got.push_back(v);
    }
  };
  for (std::uint32_t i = 0; i < 2000; ++i) {
    std::byte d[4];
    for (int k = 0; k < 4; ++k) d[k] = std::byte(static_cast<std::uint8_t>(i >> (8 * k)));
    a.send(b.address(), d);
    drain();
    net.advanceTime(1000);
  }
  net.advanceTime(faults.max_delay_us);
  drain();
  EXPECT_EQ(net.inFlight(), 0u);
  *counters = net.counters();
  return got;
}

TEST(InProcessNetwork, FaultsFollowTheSeedAndTheirRates) {
  const NetworkFaults faults{.loss_per_mille = 100,
                             .duplicate_per_mille = 50,
                             .min_delay_us = 0,
                             .max_delay_us = 60000,
                             .seed = 42};
  NetworkCounters c1, c2, c3;
  const auto first = deliveries(faults, &c1);
  EXPECT_EQ(deliveries(faults, &c2), first);
  NetworkFaults other = faults;
  other.seed = 43;
  EXPECT_NE(deliveries(other, &c3), first);
  // 10 % lost and 5 % of the rest doubled, within a wide margin of 2000 draws.
  EXPECT_GT(c1.lost, 140u);
  EXPECT_LT(c1.lost, 260u);
  EXPECT_GT(c1.duplicated, 50u);
  EXPECT_EQ(first.size(), c1.sent - c1.lost + c1.duplicated);
  bool reordered = false;
  for (std::size_t i = 1; i < first.size(); ++i) reordered |= first[i] < first[i - 1];
  EXPECT_TRUE(reordered);
}

TEST(InProcessNetwork, NothingArrivesBeforeItsDelayNorAtAnotherEndpoint) {
  InProcessNetwork net = InProcessNetwork::init(
      3, NetworkFaults{.min_delay_us = 5000, .max_delay_us = 5000, .seed = 7}, nullptr);
  auto a = net.endpoint(0);
  auto c = net.endpoint(2);
  const std::byte d[3] = {std::byte{1}, std::byte{2}, std::byte{3}};
  a.send(PeerAddress{1}, d);
  std::byte buf[2];
  PeerAddress from;
  net.advanceTime(4999);
  EXPECT_FALSE(net.endpoint(1).receive(from, buf).has_value());
  net.advanceTime(1);
  EXPECT_FALSE(c.receive(from, buf).has_value());
  // A datagram longer than the buffer reports its whole length.
  EXPECT_EQ(net.endpoint(1).receive(from, buf), std::optional<std::size_t>(3));
  EXPECT_EQ(buf[1], std::byte{2});
}

}  // namespace
