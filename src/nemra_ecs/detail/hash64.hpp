// Hash64: the 64-bit hash of snapshots and state digests, fed in pieces of any size. The same
// bytes give the same value on every machine; docs/snapshot.md gives the definition.
#ifndef NEMRA_ECS_DETAIL_HASH64_HPP
#define NEMRA_ECS_DETAIL_HASH64_HPP

#include <array>
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

// L independent lanes (4 for snapshots of version 1, 8 for version 2), each taking every L-th
// 8-byte word: lane = (lane XOR word) × K2, then lane XOR= lane >> 32. Each step is a bijection
// of the lane for a fixed word, so two inputs that differ in a single word (any one-byte change)
// end with different lanes, and the final mixing, a bijection in each lane, keeps them apart.
// More lanes give the processor more independent multiplications to run at once.
template <std::size_t L>
class LaneHash {
  static_assert(L == 4 || L == 8);

 public:
  static constexpr std::size_t kBlock = 8 * L;

  void update(const std::byte* p, std::size_t n) noexcept {
    length_ += n;
    if (pending_ > 0) {
      const std::size_t take = n < kBlock - pending_ ? n : kBlock - pending_;
      std::memcpy(buffer_ + pending_, p, take);
      pending_ += take;
      p += take;
      n -= take;
      if (pending_ < kBlock) return;
      block(buffer_);
      pending_ = 0;
    }
    // Named lanes: scalar multiplications, which the processor runs side by side (a
    // compiler's vector form of a 64-bit multiply is slower on most machines).
    if constexpr (L == 4) {
      std::uint64_t v0 = v_[0], v1 = v_[1], v2 = v_[2], v3 = v_[3];
      for (; n >= kBlock; p += kBlock, n -= kBlock) {
        v0 = mix(v0, loadLe64(p));
        v1 = mix(v1, loadLe64(p + 8));
        v2 = mix(v2, loadLe64(p + 16));
        v3 = mix(v3, loadLe64(p + 24));
      }
      v_ = {v0, v1, v2, v3};
    } else {
      std::uint64_t v0 = v_[0], v1 = v_[1], v2 = v_[2], v3 = v_[3];
      std::uint64_t v4 = v_[4], v5 = v_[5], v6 = v_[6], v7 = v_[7];
      for (; n >= kBlock; p += kBlock, n -= kBlock) {
        v0 = mix(v0, loadLe64(p));
        v1 = mix(v1, loadLe64(p + 8));
        v2 = mix(v2, loadLe64(p + 16));
        v3 = mix(v3, loadLe64(p + 24));
        v4 = mix(v4, loadLe64(p + 32));
        v5 = mix(v5, loadLe64(p + 40));
        v6 = mix(v6, loadLe64(p + 48));
        v7 = mix(v7, loadLe64(p + 56));
      }
      v_ = {v0, v1, v2, v3, v4, v5, v6, v7};
    }
    if (n > 0) {
      std::memcpy(buffer_, p, n);
      pending_ = n;
    }
  }

  // The number of bytes given so far.
  [[nodiscard]] std::uint64_t length() const noexcept { return length_; }

  // The hash of everything given so far: a last block padded with zero bytes, then the lanes
  // folded into the length.
  [[nodiscard]] std::uint64_t finish() const noexcept {
    std::uint64_t v[L];
    for (std::size_t i = 0; i < L; ++i) v[i] = v_[i];
    if (pending_ > 0) {
      std::byte last[kBlock] = {};
      std::memcpy(last, buffer_, pending_);
      for (std::size_t i = 0; i < L; ++i) v[i] = mix(v[i], loadLe64(last + 8 * i));
    }
    std::uint64_t h = length_ * HASH_K3;
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
    for (std::size_t i = 0; i < L; ++i) v_[i] = mix(v_[i], loadLe64(p + 8 * i));
  }
  static constexpr auto kStart = [] {
    std::array<std::uint64_t, L> v{};
    for (std::size_t i = 0; i < L; ++i) v[i] = HASH_K1 * (i + 1);
    return v;
  }();

  std::array<std::uint64_t, L> v_ = kStart;
  std::uint64_t length_ = 0;
  std::size_t pending_ = 0;
  std::byte buffer_[kBlock] = {};
};

// The hash of snapshots of version 1.
using Hash64 = LaneHash<4>;
// The hash of snapshots of version 2 and of state digests.
using Hash64x8 = LaneHash<8>;

// The hash of one byte sequence.
[[nodiscard]] inline std::uint64_t hash64(const std::byte* p, std::size_t n) noexcept {
  Hash64 h;
  h.update(p, n);
  return h.finish();
}

// The checksum of a version-2 snapshot of n bytes (its checksum included): Hash64x8 of the
// bytes after the header and before the checksum, then of the header. The header comes last so
// that a digest can hash the sections as it goes and the header, with the length it has then
// counted, at the end.
[[nodiscard]] inline std::uint64_t checksumV2(const std::byte* p, std::size_t n,
                                              std::size_t header) noexcept {
  Hash64x8 h;
  h.update(p + header, n - 8 - header);
  h.update(p, header);
  return h.finish();
}

}  // namespace nemra_ecs::detail

#endif
