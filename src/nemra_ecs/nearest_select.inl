// Private to the module's sources (not installed): choosing the k nearest of a stream of
// (distance, rank) pairs, where the rank is the creation order that decides equal distances.
#ifndef NEMRA_ECS_NEAREST_SELECT_INL
#define NEMRA_ECS_NEAREST_SELECT_INL

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory_resource>
#include <span>
#include <vector>

namespace nemra_ecs::detail {

struct Ranked {
  double distance;
  std::uint64_t rank;
};

// Nearer first; of equal distances the earlier rank. Distances are never NaN (fsDistance clamps).
inline bool before(const Ranked& a, const Ranked& b) {
  return a.distance < b.distance || (a.distance == b.distance && a.rank < b.rank);
}

// Keeps the k first pairs in the order of `before` among those offered. Its storage, for at most
// min(k, most) pairs, is taken once by the constructor, which may throw std::bad_alloc.
class KSmallest {
 public:
  KSmallest(std::size_t k, std::size_t most, std::pmr::memory_resource* resource)
      : k_(k), heap_(resource) {
    heap_.reserve(std::min(k, most));
  }

  bool full() const { return heap_.size() == k_; }
  // The k-th pair so far; only when full.
  const Ranked& last() const { return heap_.front(); }

  void offer(double distance, std::uint64_t rank) {
    const Ranked r{distance, rank};
    if (heap_.size() < k_) {
      heap_.push_back(r);  // within the reserved storage
      std::push_heap(heap_.begin(), heap_.end(), before);
    } else if (k_ != 0 && before(r, heap_.front())) {
      std::pop_heap(heap_.begin(), heap_.end(), before);
      heap_.back() = r;
      std::push_heap(heap_.begin(), heap_.end(), before);
    }
  }

  // The kept pairs, nearest first; offer no more afterwards.
  std::span<const Ranked> sorted() {
    std::sort_heap(heap_.begin(), heap_.end(), before);
    return heap_;
  }

 private:
  std::size_t k_;
  std::pmr::vector<Ranked> heap_;
};

}  // namespace nemra_ecs::detail

#endif
