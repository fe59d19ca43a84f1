#include <algorithm>
#include <nemra_lockstep/session.hpp>
#include <nemra_lockstep/sync_test_session.hpp>
#include <new>

namespace nemra_lockstep {
namespace {

constexpr std::size_t RING = MAX_PREDICTION_FRAMES + 2;

std::size_t slot(std::int64_t frame) noexcept { return static_cast<std::size_t>(frame) % RING; }

}  // namespace

std::expected<SyncTestSession, LockstepError> SyncTestSession::init(
    const SyncTestConfig& config, std::pmr::memory_resource* allocator) noexcept {
  if (config.input_size == 0 || config.players == 0 || config.players > MAX_PLAYERS ||
      config.check_distance == 0 || config.check_distance > MAX_PREDICTION_FRAMES) {
    return std::unexpected(LockstepError::InvalidConfig);
  }
  SyncTestSession s(config, allocator != nullptr ? allocator : std::pmr::get_default_resource());
  try {
    s.inputs_.assign(RING * config.players * config.input_size, std::byte{0});
    s.digests_.assign(RING, 0);
    s.player_inputs_.resize(config.players);
  } catch (const std::bad_alloc&) {
    return std::unexpected(LockstepError::OutOfMemory);
  }
  return s;
}

void SyncTestSession::deinit() noexcept {
  inputs_.clear();
  inputs_.shrink_to_fit();
  digests_.clear();
  digests_.shrink_to_fit();
  player_inputs_.clear();
  player_inputs_.shrink_to_fit();
}

void SyncTestSession::simulate(Game& game, std::int64_t frame) noexcept {
  const std::size_t frame_bytes = std::size_t{config_.players} * config_.input_size;
  const std::span<const std::byte> all =
      std::span<const std::byte>(inputs_).subspan(slot(frame) * frame_bytes, frame_bytes);
  for (std::size_t p = 0; p < config_.players; ++p) {
    player_inputs_[p] = PlayerInput{all.subspan(p * config_.input_size, config_.input_size),
                                    InputStatus::Confirmed};
  }
  game.advanceFrame(static_cast<Frame>(frame), player_inputs_);
}

std::expected<std::optional<SyncTestFailure>, LockstepError> SyncTestSession::advanceFrame(
    std::span<const std::byte> inputs, Game& game) noexcept {
  const std::size_t frame_bytes = std::size_t{config_.players} * config_.input_size;
  if (inputs.size() != frame_bytes || digests_.empty()) {
    return std::unexpected(LockstepError::WrongInputSize);
  }
  if (!saved_start_) {
    auto d = game.saveState(0);
    if (!d) return std::unexpected(LockstepError::StateCallbackFailed);
    digests_[slot(0)] = *d;
    saved_start_ = true;
  }
  std::ranges::copy(inputs,
                    inputs_.begin() + static_cast<std::ptrdiff_t>(slot(current_) * frame_bytes));
  simulate(game, current_);
  ++current_;
  auto d = game.saveState(static_cast<Frame>(current_));
  if (!d) return std::unexpected(LockstepError::StateCallbackFailed);
  digests_[slot(current_)] = *d;

  std::optional<SyncTestFailure> failure;
  const auto k = static_cast<std::int64_t>(config_.check_distance);
  if (current_ < k) return failure;
  if (!game.loadState(static_cast<Frame>(current_ - k))) {
    return std::unexpected(LockstepError::StateCallbackFailed);
  }
  for (std::int64_t f = current_ - k; f < current_; ++f) {
    simulate(game, f);
    auto again = game.saveState(static_cast<Frame>(f + 1));
    if (!again) return std::unexpected(LockstepError::StateCallbackFailed);
    std::uint64_t& first = digests_[slot(f + 1)];
    if (*again != first && !failure) {
      failure = SyncTestFailure{static_cast<Frame>(f + 1), first, *again,
                                game.compareSaves(static_cast<Frame>(f + 1))};
    }
    first = *again;
  }
  return failure;
}

}  // namespace nemra_lockstep
