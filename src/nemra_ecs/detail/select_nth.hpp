// selectNth: std::nth_element over [begin, end) of a span ordered by a float key, with partitions
// that do not branch on the keys.
#ifndef NEMRA_ECS_DETAIL_SELECT_NTH_HPP
#define NEMRA_ECS_DETAIL_SELECT_NTH_HPP

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>

namespace nemra_ecs::detail {

// Ranges of at least kSampledFrom items take their pivots from a sample of at most kMostSampled
// keys.
inline constexpr std::size_t kSampledFrom = 1024;
inline constexpr std::size_t kMostSampled = 1024;

// Puts into items[nth] the item that sorting [begin, end) by key(item) (a float, not NaN) would put
// there, with none before it greater and none after it smaller, as std::nth_element does.
//
// Quickselect whose partitions move every item unconditionally and advance by the comparison:
// keys that come in no order make a partition that branches on them mispredict about every other
// item, and the index's arrangements spend most of their time halving. Large ranges take two
// pivots from a sample, which leave few items between them (below). Other rounds take the median
// of three keys as their pivot and split off the items below it, then those equal to it, so every
// round shrinks the range (the pivot is in it) and a range of equal keys ends in one round. After
// 2 log2 n + 8 rounds (inputs that defeat the pivots) std::nth_element finishes, as it does
// ranges of 16 items or fewer.
template <class T, class Key>
void selectNth(std::span<T> items, std::size_t begin, std::size_t nth, std::size_t end, Key key) {
  // Moves the items of [from, to) for which below(key) holds to the front; returns where the others
  // begin.
  const auto partition = [&](std::size_t from, std::size_t to, auto below) {
    std::size_t at = from;
    for (std::size_t i = from; i < to; ++i) {
      const bool take = below(key(items[i]));
      const T item = items[i];
      items[i] = items[at];
      items[at] = item;
      at += static_cast<std::size_t>(take);
    }
    return at;
  };
  std::size_t rounds = 8;
  for (std::size_t n = end - begin; n > 1; n /= 2) rounds += 2;
  bool sampling = true;
  while (end - begin > 16 && rounds-- > 0) {
    const std::size_t n = end - begin;
    if (sampling && n >= kSampledFrom) {
      // Two pivots from an evenly spaced sample of s = 2 sqrt(n) keys (at most kMostSampled),
      // sqrt(s) places below and above the nth's place in it, about two standard deviations of
      // that place: the items between them, about 2 / sqrt(s) of the range (a quarter at 1024
      // items, a twelfth at 1e5), hold the nth but in about one draw in twenty, when the next
      // round works on the side that holds it. The two partitions, over the range and over what
      // is not below the lower pivot, take about 1.5 passes where median-of-three rounds take
      // about 3.5 to come as close. A round that leaves more than three quarters of the range
      // (keys the sample cannot part, or placed against its fixed positions) ends the sampling.
      // The positions are computed in 64 bits, which no range's size overflows.
      float sample[kMostSampled];
      std::size_t s = 2;
      while (s * s < 4 * n && s < kMostSampled) ++s;
      for (std::size_t i = 0; i < s; ++i) {
        sample[i] = key(items[begin + static_cast<std::size_t>(std::uint64_t{i} * n / s)]);
      }
      std::sort(sample, sample + s);
      std::size_t spread = 1;
      while (spread * spread < s) ++spread;
      const auto at = static_cast<std::size_t>(std::uint64_t{nth - begin} * s / n);
      const float low = sample[at > spread ? at - spread : 0];
      const float high = sample[std::min(s - 1, at + spread)];
      const std::size_t less = partition(begin, end, [low](float k) { return k < low; });
      if (nth < less) {
        sampling = 4 * (end - less) >= n;
        end = less;
        continue;
      }
      const std::size_t upto = partition(less, end, [high](float k) { return !(high < k); });
      if (nth >= upto) {
        sampling = 4 * (upto - begin) >= n;
        begin = upto;
        continue;
      }
      // Every key in [less, upto) lies in [low, high]: when the two are equal the nth is in place.
      if (!(low < high)) return;
      sampling = 4 * (n - (upto - less)) >= n;
      begin = less;
      end = upto;
      continue;
    }
    const float a = key(items[begin]);
    const float b = key(items[begin + (end - begin) / 2]);
    const float c = key(items[end - 1]);
    const float pivot = std::max(std::min(a, b), std::min(std::max(a, b), c));
    const std::size_t less = partition(begin, end, [pivot](float k) { return k < pivot; });
    if (nth < less) {
      end = less;
      continue;
    }
    const std::size_t equal = partition(less, end, [pivot](float k) { return !(pivot < k); });
    if (nth < equal) return;
    begin = equal;
  }
  std::nth_element(items.begin() + static_cast<std::ptrdiff_t>(begin),
                   items.begin() + static_cast<std::ptrdiff_t>(nth),
                   items.begin() + static_cast<std::ptrdiff_t>(end),
                   [&key](const T& l, const T& r) { return key(l) < key(r); });
}

}  // namespace nemra_ecs::detail

#endif  // NEMRA_ECS_DETAIL_SELECT_NTH_HPP
