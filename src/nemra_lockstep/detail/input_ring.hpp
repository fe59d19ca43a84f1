// Inputs of every player for the last FRAMES frames, frame f in slot f % FRAMES.
#ifndef NEMRA_LOCKSTEP_DETAIL_INPUT_RING_HPP
#define NEMRA_LOCKSTEP_DETAIL_INPUT_RING_HPP

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory_resource>
#include <span>
#include <vector>

namespace nemra_lockstep::detail {

class InputRing {
 public:
  // Long enough for a spectator to be sent the inputs it missed while a large state came to it
  // (some 15 s at 60 frames a second).
  static constexpr std::size_t FRAMES = 1024;

  explicit InputRing(std::pmr::memory_resource* r) noexcept : bytes_(r) {}
  // May throw std::bad_alloc (the session's init catches it).
  void init(std::size_t players, std::size_t input_size) {
    input_size_ = input_size;
    bytes_.assign(players * FRAMES * input_size, std::byte{0});
  }
  void store(std::size_t player, std::int64_t frame, std::span<const std::byte> in) noexcept {
    std::ranges::copy(in, bytes_.begin() + static_cast<std::ptrdiff_t>(offset(player, frame)));
  }
  [[nodiscard]] std::span<const std::byte> at(std::size_t player,
                                              std::int64_t frame) const noexcept {
    return std::span(bytes_).subspan(offset(player, frame), input_size_);
  }

 private:
  std::size_t offset(std::size_t player, std::int64_t frame) const noexcept {
    return (player * FRAMES + static_cast<std::size_t>(frame) % FRAMES) * input_size_;
  }
  std::size_t input_size_ = 0;
  std::pmr::vector<std::byte> bytes_;
};

}  // namespace nemra_lockstep::detail

#endif
