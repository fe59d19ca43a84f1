#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <nemra_lockstep/enet_transport.hpp>
#include <nemra_lockstep/session.hpp>
#include <optional>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

namespace {

using namespace nemra_lockstep;

// A clock the test moves one frame per round; the session's time-outs are set far beyond the
// test's length, so how fast the machine runs cannot change what happens.
struct StepClock final : Clock {
  std::uint64_t now = 0;
  std::uint64_t nowMicros() noexcept override { return now; }
};

// The state is a few integers mixed with the inputs; saved states are kept by frame.
struct MixGame final : Game {
  std::array<std::uint64_t, 4> state{1, 2, 3, 4};
  std::array<std::array<std::uint64_t, 4>, 16> saved{};

  static std::uint64_t digestOf(const std::array<std::uint64_t, 4>& s) {
    std::uint64_t h = 1469598103934665603u;
    for (std::uint64_t v : s) h = (h ^ v) * 1099511628211u;
    return h;
  }
  std::expected<std::uint64_t, LockstepError> saveState(Frame f) override {
    saved[f % saved.size()] = state;
    return digestOf(state);
  }
  std::expected<void, LockstepError> loadState(Frame f) override {
    state = saved[f % saved.size()];
    return {};
  }
  void advanceFrame(Frame f, std::span<const PlayerInput> inputs) override {
    for (std::size_t p = 0; p < inputs.size(); ++p) {
      state[p] =
          state[p] * 6364136223846793005u + std::to_integer<std::uint64_t>(inputs[p].bytes[0]);
    }
    state[3] += f;
  }
};

TEST(EnetTransport, TwoSessionsOverUdpOnLoopbackAgreeOnEveryConfirmedFrame) {
  auto a = EnetTransport::init("127.0.0.1", 0, 4);
  auto b = EnetTransport::init("127.0.0.1", 0, 4);
  ASSERT_TRUE(a.has_value() && b.has_value());
  ASSERT_NE(a->port(), 0);
  const PeerAddress a_on_b = b->connect("127.0.0.1", a->port(), 1).value();
  std::optional<PeerAddress> b_on_a;
  for (int i = 0; i < 2000 && !(b_on_a && b->connected(a_on_b)); ++i) {
    a->service(1);
    b->service(1);
    b_on_a = a->peerTagged(1);
  }
  ASSERT_TRUE(b_on_a.has_value());
  ASSERT_TRUE(b->connected(a_on_b));

  StepClock clock;
  SessionConfig config{.session_id = 9,
                       .players = 2,
                       .interrupt_after_us = 3600000000u,
                       .disconnect_after_us = 3600000000u};
  const std::array<PeerAddress, 2> on_a{PeerAddress{}, *b_on_a};
  const std::array<PeerAddress, 2> on_b{a_on_b, PeerAddress{}};
  P2PSession sa = P2PSession::init(config, on_a, *a, clock, nullptr).value();
  config.local_player = 1;
  P2PSession sb = P2PSession::init(config, on_b, *b, clock, nullptr).value();
  MixGame ga, gb;
  constexpr Frame kFrames = 200;
  std::vector<std::uint64_t> da, db;
  for (int round = 0; round < 20000 && (da.size() <= kFrames || db.size() <= kFrames); ++round) {
    const std::array<std::byte, 1> ia{std::byte(static_cast<std::uint8_t>(round * 7))};
    const std::array<std::byte, 1> ib{std::byte(static_cast<std::uint8_t>(round * 13))};
    ASSERT_TRUE(sa.advanceFrame(ia, ga).has_value());
    ASSERT_TRUE(sb.advanceFrame(ib, gb).has_value());
    for (auto [s, d] : {std::pair{&sa, &da}, std::pair{&sb, &db}}) {
      while (s->confirmedFrame() != NO_FRAME && d->size() <= s->confirmedFrame()) {
        d->push_back(s->confirmedDigest(static_cast<Frame>(d->size())).value());
      }
    }
    clock.now += 16667;
    std::this_thread::sleep_for(std::chrono::microseconds(100));
  }
  ASSERT_GT(da.size(), kFrames);
  ASSERT_GT(db.size(), kFrames);
  for (Frame f = 0; f <= kFrames; ++f) ASSERT_EQ(da[f], db[f]) << f;
  // The inputs differ between the players, so the digests do between frames.
  EXPECT_NE(da[kFrames], da[kFrames - 1]);
  EXPECT_GT(a->counters().received, kFrames / 2);
  EXPECT_EQ(sa.dropped().garbage + sb.dropped().garbage, 0u);
}

}  // namespace
