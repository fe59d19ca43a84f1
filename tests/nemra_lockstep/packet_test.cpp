#include <array>
#include <cstddef>
#include <cstdint>
#include <nemra_lockstep/packet.hpp>
#include <vector>

#include <gtest/gtest.h>

namespace {

using namespace nemra_lockstep;

std::vector<std::byte> bytesOf(std::initializer_list<int> values) {
  std::vector<std::byte> out;
  for (int v : values) out.push_back(std::byte(static_cast<std::uint8_t>(v)));
  return out;
}

// An Input packet written out by hand from the layout in docs/lockstep.md: session 0x5eed, sender
// 1, sequence 0x0102, current frame 40, ack 37, inputs of frames 38..40, 2 bytes each.
const std::vector<std::byte> kInput = bytesOf({
    'N',  'L',  1,    1,                                    // magic, version, kind Input
    0xed, 0x5e, 0,    0,                                    // session
    1,    0,    0x02, 0x01,                                 // sender, flags, sequence
    40,   0,    0,    0,    37,   0,    0, 0, 38, 0, 0, 0,  // current, ack, first frame
    2,    3,                                                // input size, count
    0xa0, 0xa1, 0xb0, 0xb1, 0xc0, 0xc1,
});

TEST(LockstepPacket, InputDecodesAndEncodesAsTheHandWrittenBytes) {
  const auto p = decodePacket(kInput, 0x5eed);
  ASSERT_TRUE(p.has_value());
  EXPECT_EQ(p->header.kind, PacketKind::Input);
  EXPECT_EQ(p->header.sender, 1);
  EXPECT_EQ(p->header.sequence, 0x0102);
  EXPECT_EQ(p->input.current_frame, 40u);
  EXPECT_EQ(p->input.ack_frame, 37u);
  EXPECT_EQ(p->input.first_frame, 38u);
  ASSERT_EQ(p->input.inputs.size(), 6u);
  EXPECT_EQ(p->input.inputs[2], std::byte{0xb0});
  std::array<std::byte, MAX_PACKET_SIZE> out{};
  ASSERT_EQ(encodePacket(*p, out), kInput.size());
  EXPECT_TRUE(std::equal(kInput.begin(), kInput.end(), out.begin()));
}

TEST(LockstepPacket, OtherKindsMatchTheHandWrittenBytes) {
  const std::vector<std::byte> digest =
      bytesOf({'N', 'L', 1, 3, 0xed, 0x5e, 0,    0,    2,    0,    9,    0,
               32,  0,   0, 0, 0xef, 0xcd, 0xab, 0x89, 0x67, 0x45, 0x23, 0x01});
  const std::vector<std::byte> sync =
      bytesOf({'N', 'L',  1,    4,    0xed, 0x5e, 0, 0, 0, 0,  0, 0, 9, 0,    0,
               0,   0x15, 0xcd, 0x5b, 0x07, 0,    0, 0, 0, 40, 0, 0, 0, 0xfe, 0xff});
  const auto d = decodePacket(digest, 0x5eed);
  ASSERT_TRUE(d.has_value());
  EXPECT_EQ(d->digest.frame, 32u);
  EXPECT_EQ(d->digest.digest, 0x0123456789abcdefu);
  const auto s = decodePacket(sync, 0x5eed);
  ASSERT_TRUE(s.has_value());
  EXPECT_EQ(s->header.kind, PacketKind::SyncRequest);
  EXPECT_EQ(s->sync.time, 123456789u);
  EXPECT_EQ(s->sync.advantage, -2);
  std::array<std::byte, MAX_PACKET_SIZE> out{};
  ASSERT_EQ(encodePacket(*d, out), digest.size());
  EXPECT_TRUE(std::equal(digest.begin(), digest.end(), out.begin()));
  ASSERT_EQ(encodePacket(*s, out), sync.size());
  EXPECT_TRUE(std::equal(sync.begin(), sync.end(), out.begin()));
}

TEST(LockstepPacket, HoldingsListEveryPlayerAndLetNoneGoBeyondThem) {
  // Three players: frames 100 and 90 held of players 0 and 1, none of player 2, which was let go.
  std::vector<std::byte> holdings =
      bytesOf({'N', 'L', 1, 9, 0xed, 0x5e, 0, 0, 1, 0,    5,    0,    0x04, 0,
               3,   100, 0, 0, 0,    90,   0, 0, 0, 0xff, 0xff, 0xff, 0xff});
  const auto h = decodePacket(holdings, 0x5eed);
  ASSERT_TRUE(h.has_value());
  EXPECT_EQ(h->holdings.players, 3u);
  EXPECT_EQ(h->holdings.left, 4u);
  EXPECT_EQ(h->holdings.held[0], 100u);
  EXPECT_EQ(h->holdings.held[1], 90u);
  EXPECT_EQ(h->holdings.held[2], NO_FRAME);
  std::array<std::byte, MAX_PACKET_SIZE> out{};
  ASSERT_EQ(encodePacket(*h, out), holdings.size());
  EXPECT_TRUE(std::equal(holdings.begin(), holdings.end(), out.begin()));
  holdings[12] = std::byte{0x08};  // player 3 of 3
  EXPECT_EQ(decodePacket(holdings, 0x5eed).error(), PacketError::Malformed);
  holdings[12] = std::byte{0};
  holdings[14] = std::byte{0};  // no players
  EXPECT_EQ(decodePacket(holdings, 0x5eed).error(), PacketError::Malformed);
  holdings[14] = std::byte{4};  // four players, three listed
  EXPECT_EQ(decodePacket(holdings, 0x5eed).error(), PacketError::Truncated);
}

TEST(LockstepPacket, ABlobsLastChunkHasWhatIsLeftOfTheBlob) {
  // Chunk 1 of a blob of 1030 bytes: its last 6 bytes.
  std::vector<std::byte> chunk =
      bytesOf({'N', 'L',  1,    7, 0xed, 0x5e, 0, 0, 0, 0, 0, 0, 3, 0, 0,
               0,   0x06, 0x04, 0, 0,    1,    0, 0, 0, 1, 2, 3, 4, 5, 6});
  const auto p = decodePacket(chunk, 0x5eed);
  ASSERT_TRUE(p.has_value());
  EXPECT_EQ(p->chunk.total, 1030u);
  EXPECT_EQ(p->chunk.data.size(), 6u);
  chunk[20] = std::byte{2};  // past the end of the blob
  EXPECT_EQ(decodePacket(chunk, 0x5eed).error(), PacketError::Malformed);
  chunk[20] = std::byte{0};  // a whole chunk of 1024 bytes is needed
  EXPECT_EQ(decodePacket(chunk, 0x5eed).error(), PacketError::Truncated);
}

TEST(LockstepPacket, EveryProperPrefixIsTruncatedAndOneMoreByteIsOversized) {
  for (std::size_t n = 4; n < kInput.size(); ++n) {
    const auto p = decodePacket(std::span(kInput).first(n), 0x5eed);
    ASSERT_FALSE(p.has_value()) << n;
    EXPECT_EQ(p.error(), PacketError::Truncated) << n;
  }
  std::vector<std::byte> longer = kInput;
  longer.push_back(std::byte{0});
  EXPECT_EQ(decodePacket(longer, 0x5eed).error(), PacketError::Oversized);
  std::vector<std::byte> huge(MAX_PACKET_SIZE + 1, std::byte{'N'});
  EXPECT_EQ(decodePacket(huge, 0x5eed).error(), PacketError::Oversized);
}

TEST(LockstepPacket, ForeignAndOutOfRangePacketsAreRefusedWithTheirReason) {
  EXPECT_EQ(decodePacket(kInput, 0x5eee).error(), PacketError::WrongSession);
  auto bad = [](std::size_t at, int value) {
    std::vector<std::byte> b = kInput;
    b[at] = std::byte(static_cast<std::uint8_t>(value));
    return decodePacket(b, 0x5eed);
  };
  EXPECT_EQ(bad(0, 'X').error(), PacketError::Garbage);
  EXPECT_EQ(bad(2, 2).error(), PacketError::Garbage);   // version
  EXPECT_EQ(bad(3, 10).error(), PacketError::Garbage);  // kind
  EXPECT_EQ(bad(3, 0).error(), PacketError::Garbage);
  EXPECT_EQ(bad(9, 1).error(), PacketError::Malformed);   // flags
  EXPECT_EQ(bad(24, 0).error(), PacketError::Malformed);  // input size 0
  EXPECT_EQ(bad(25, 0).error(), PacketError::Malformed);  // count 0
  EXPECT_EQ(bad(25, 129).error(), PacketError::Malformed);
  EXPECT_EQ(bad(25, 2).error(), PacketError::Oversized);  // two inputs declared, three present
  // The last frame of the inputs would pass NO_FRAME.
  std::vector<std::byte> wrap = kInput;
  for (std::size_t i = 20; i < 24; ++i) wrap[i] = std::byte{0xff};
  EXPECT_EQ(decodePacket(wrap, 0x5eed).error(), PacketError::Malformed);
  EXPECT_EQ(decodePacket(bytesOf({'N'}), 0x5eed).error(), PacketError::Truncated);
  EXPECT_EQ(decodePacket(bytesOf({'G', 'E', 'T'}), 0x5eed).error(), PacketError::Garbage);
}

TEST(LockstepPacket, EncoderRefusesWhatTheDecoderWouldRefuse) {
  std::array<std::byte, 6> inputs{};
  Packet p;
  p.header.kind = PacketKind::Input;
  p.input.input_size = 2;
  p.input.count = 2;  // but 6 bytes of inputs
  p.input.inputs = inputs;
  std::array<std::byte, MAX_PACKET_SIZE> out{};
  EXPECT_EQ(encodePacket(p, out), 0u);
  p.input.count = 3;
  EXPECT_EQ(encodePacket(p, std::span(out).first(packetSize(PacketKind::Input, 6) - 1)), 0u);
  EXPECT_EQ(encodePacket(p, out), packetSize(PacketKind::Input, 6));
}

}  // namespace
