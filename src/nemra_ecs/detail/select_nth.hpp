// selectNth: std::nth_element over [begin, end) of a span ordered by a float key, with partitions
// that do not branch on the keys.
#ifndef NEMRA_ECS_DETAIL_SELECT_NTH_HPP
#define NEMRA_ECS_DETAIL_SELECT_NTH_HPP

#include <algorithm>
#include <cstddef>
#include <span>

namespace nemra_ecs::detail {

// Puts into items[nth] the item that sorting [begin, end) by key(item) (a float, not NaN) would put
// there, with none before it greater and none after it smaller, as std::nth_element does.
//
// Quickselect whose partitions move every item unconditionally and advance by the comparison:
// keys that come in no order make a partition that branches on them mispredict about every other
// item, and the index's arrangements spend most of their time halving. Each round takes the median
// of three keys as its pivot and splits off the items below it, then those equal to it, so every
// round shrinks the range (the pivot is in it) and a range of equal keys ends in one round. After
// 2 log2 n + 8 rounds (inputs that defeat the median of three) std::nth_element finishes, as it
// does ranges of 16 items or fewer.
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
  while (end - begin > 16 && rounds-- > 0) {
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
