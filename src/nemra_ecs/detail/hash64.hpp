// Hash64: the 64-bit hash of snapshots and state digests, fed in pieces of any size. The same
// bytes give the same value on every machine; docs/snapshot.md gives the definition.
#ifndef NEMRA_ECS_DETAIL_HASH64_HPP
#define NEMRA_ECS_DETAIL_HASH64_HPP

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace nemra_ecs::detail {

inline constexpr std::uint64_t HASH_K1 = 0x29FEDCF1C247BEC9ULL;
inline constexpr std::uint64_t HASH_K2 = 0x82CFCC7E69AAA507ULL;
inline constexpr std::uint64_t HASH_K3 = 0xC420E9596EB93ADDULL;

[[nodiscard]] inline std::uint64_t loadLe64(const std::byte* p) noexcept {
  std::uint64_t w;
  std::memcpy(&w, p, 8);
  if constexpr (std::endian::native == std::endian::big) w = std::byteswap(w);
  return w;
}

// Four independent lanes, each taking every fourth 8-byte word: lane = (lane XOR word) × K2,
// then lane XOR= lane >> 32. Each step is a bijection of the lane for a fixed word, so two inputs
// that differ in a single word (any one-byte change) end with different lanes, and the final
// mixing, a bijection in each lane, keeps them apart.
class Hash64 {
 public:
  void update(const std::byte* p, std::size_t n) noexcept {
    length_ += n;
    if (pending_ > 0) {
      const std::size_t take = n < 32 - pending_ ? n : 32 - pending_;
      std::memcpy(buffer_ + pending_, p, take);
      pending_ += take;
      p += take;
      n -= take;
      if (pending_ < 32) return;
      block(buffer_);
      pending_ = 0;
    }
    std::uint64_t v0 = v_[0], v1 = v_[1], v2 = v_[2], v3 = v_[3];
    for (; n >= 32; p += 32, n -= 32) {
      v0 = mix(v0, loadLe64(p));
      v1 = mix(v1, loadLe64(p + 8));
      v2 = mix(v2, loadLe64(p + 16));
      v3 = mix(v3, loadLe64(p + 24));
    }
    v_[0] = v0, v_[1] = v1, v_[2] = v2, v_[3] = v3;
    if (n > 0) {
      std::memcpy(buffer_, p, n);
      pending_ = n;
    }
  }

  // The hash of everything given so far: a last block padded with zero bytes, then the lanes
  // folded into the length.
  [[nodiscard]] std::uint64_t finish() const noexcept {
    std::uint64_t v[4] = {v_[0], v_[1], v_[2], v_[3]};
    if (pending_ > 0) {
      std::byte last[32] = {};
      std::memcpy(last, buffer_, pending_);
      for (int i = 0; i < 4; ++i) v[i] = mix(v[i], loadLe64(last + 8 * i));
    }
    std::uint64_t h = static_cast<std::uint64_t>(length_) * HASH_K3;
    for (std::uint64_t lane : v) {
      h = (h ^ lane) * HASH_K1;
      h ^= h >> 29;
    }
    h ^= h >> 32;
    h *= HASH_K2;
    h ^= h >> 29;
    h *= HASH_K3;
    h ^= h >> 32;
    return h;
  }

 private:
  [[nodiscard]] static std::uint64_t mix(std::uint64_t lane, std::uint64_t word) noexcept {
    lane = (lane ^ word) * HASH_K2;
    return lane ^ (lane >> 32);
  }
  void block(const std::byte* p) noexcept {
    for (int i = 0; i < 4; ++i) v_[i] = mix(v_[i], loadLe64(p + 8 * i));
  }

  std::uint64_t v_[4] = {HASH_K1, HASH_K1 * 2, HASH_K1 * 3, HASH_K1 * 4};
  std::uint64_t length_ = 0;
  std::size_t pending_ = 0;
  std::byte buffer_[32] = {};
};

// The hash of one byte sequence.
[[nodiscard]] inline std::uint64_t hash64(const std::byte* p, std::size_t n) noexcept {
  Hash64 h;
  h.update(p, n);
  return h.finish();
}

}  // namespace nemra_ecs::detail

#endif
