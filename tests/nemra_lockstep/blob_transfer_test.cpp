#include <array>
#include <cstddef>
#include <cstdint>
#include <nemra_lockstep/blob_transfer.hpp>
#include <nemra_lockstep/in_process_network.hpp>
#include <vector>

#include <gtest/gtest.h>

namespace {

using namespace nemra_lockstep;

TEST(BlobTransfer, ABlobCrossesALossyReorderingNetworkWhole) {
  InProcessNetwork net = InProcessNetwork::init(2,
                                                NetworkFaults{.loss_per_mille = 100,
                                                              .duplicate_per_mille = 50,
                                                              .min_delay_us = 0,
                                                              .max_delay_us = 60000,
                                                              .seed = 11},
                                                nullptr);
  auto a = net.endpoint(0);
  auto b = net.endpoint(1);
  // 200 chunks and a short last one.
  std::vector<std::byte> blob(200 * BLOB_CHUNK_SIZE + 17);
  for (std::size_t i = 0; i < blob.size(); ++i) {
    blob[i] = std::byte(static_cast<std::uint8_t>(i * 131 + (i >> 9)));
  }
  BlobSender sender = BlobSender::init(nullptr);
  BlobReceiver receiver = BlobReceiver::init(blob.size(), nullptr);
  ASSERT_TRUE(sender.start(4, blob, 100000).has_value());
  std::array<std::byte, MAX_PACKET_SIZE> buf{};
  auto send = [&](auto& from, PeerAddress to, Packet p) {
    p.header.session = 1;
    from.send(to, std::span(buf).first(encodePacket(p, buf)));
  };
  int ms = 0;
  for (; ms < 20000 && !sender.done(); ++ms) {
    while (auto p = sender.nextChunk(net.nowMicros())) send(a, b.address(), *p);
    PeerAddress from;
    while (auto n = b.receive(from, buf)) {
      const auto p = decodePacket(std::span(buf).first(*n), 1);
      ASSERT_TRUE(p.has_value());
      Packet ack;
      ack.header.kind = PacketKind::BlobAck;
      ack.blob_ack = receiver.onChunk(p->chunk).value();
      send(b, a.address(), ack);
    }
    while (auto n = a.receive(from, buf))
      sender.onAck(decodePacket(std::span(buf).first(*n), 1)->blob_ack);
    net.advanceTime(1000);
  }
  ASSERT_TRUE(sender.done()) << "after " << ms << " ms";
  ASSERT_TRUE(receiver.complete());
  EXPECT_TRUE(std::ranges::equal(receiver.bytes(), blob));
  EXPECT_GT(sender.chunksSent(), 201u) << "losses were made up for";
  EXPECT_LT(sender.chunksSent(), 2 * 201u);
}

TEST(BlobTransfer, ChunksThatDisagreeWithTheirBlobAreRefused) {
  BlobReceiver receiver = BlobReceiver::init(4000, nullptr);
  std::array<std::byte, BLOB_CHUNK_SIZE> data{};
  ASSERT_TRUE(receiver.onChunk({7, 3000, 0, data}).has_value());
  EXPECT_FALSE(receiver.onChunk({7, 3001, 1, data}).has_value());  // another total
  EXPECT_FALSE(receiver.onChunk({7, 3000, 2, data}).has_value());  // the last is 952 bytes
  EXPECT_FALSE(receiver.onChunk({8, 5000, 0, data}).has_value());  // beyond max_size
  const auto ack = receiver.onChunk({7, 3000, 2, std::span(data).first(952)});
  ASSERT_TRUE(ack.has_value());
  EXPECT_EQ(ack->next, 1u);
  EXPECT_EQ(ack->mask, 1u);  // chunk 2
  EXPECT_FALSE(receiver.complete());
}

}  // namespace
