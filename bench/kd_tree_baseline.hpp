// A baseline for the tick's queries: the structure an engine would reach for to find the k
// nearest of points under the Euclidean distance, a k-d tree (halved at the median of the widest
// side, leaves of at most 16 points, searched depth first with the incremental distance to the far
// side's box), with the same kind of filter. Over the entities' points in the chart w = 1 (R³) it
// answers the Euclidean question; over their unit vectors in R⁴ (all with w > 0 in the tick) its
// chord distance orders near neighbours as the Fubini–Study distance does, without exactness at
// ties or the identification of v with −v. Only what such a query costs on this machine is
// measured; nothing checks its answers.
#ifndef NEMRA_BENCH_KD_TREE_BASELINE_HPP
#define NEMRA_BENCH_KD_TREE_BASELINE_HPP

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <utility>
#include <vector>

namespace nemra_bench {

template <std::size_t D>
class KdTree {
 public:
  struct Point {
    double at[D];
    std::uint64_t id;
  };

  explicit KdTree(std::vector<Point> points) : points_(std::move(points)) {
    if (!points_.empty()) root_ = build(0, points_.size());
  }

  // The ids of the k nearest points (k at most 16) for which keep(id) holds, nearest first.
  template <class Keep>
  std::size_t kNearest(const std::array<double, D>& q, std::size_t k, Keep keep,
                       std::uint64_t (&out)[16]) const {
    Search<Keep> s{this, {}, std::min<std::size_t>(k, 16), keep};
    for (std::size_t a = 0; a < D; ++a) s.q[a] = q[a];
    if (root_ != kLeafless) {
      double off[D] = {};
      s.visit(root_, 0.0, off);
    }
    for (std::size_t i = 0; i < s.count; ++i) out[i] = s.ids[i];
    return s.count;
  }

 private:
  static constexpr std::uint32_t kLeafless = std::numeric_limits<std::uint32_t>::max();
  static constexpr std::size_t kLeafSize = 16;
  struct Node {
    double split;
    std::uint32_t axis;  // D for a leaf
    std::uint32_t left, right;
    std::uint32_t begin, end;
  };

  std::uint32_t build(std::size_t begin, std::size_t end) {
    const auto at = static_cast<std::uint32_t>(nodes_.size());
    nodes_.push_back(Node{0.0, static_cast<std::uint32_t>(D), kLeafless, kLeafless,
                          static_cast<std::uint32_t>(begin), static_cast<std::uint32_t>(end)});
    if (end - begin <= kLeafSize) return at;
    double lo[D], hi[D];
    for (std::size_t a = 0; a < D; ++a) lo[a] = hi[a] = points_[begin].at[a];
    for (std::size_t i = begin; i < end; ++i) {
      for (std::size_t a = 0; a < D; ++a) {
        lo[a] = std::min(lo[a], points_[i].at[a]);
        hi[a] = std::max(hi[a], points_[i].at[a]);
      }
    }
    std::size_t axis = 0;
    for (std::size_t a = 1; a < D; ++a) axis = hi[a] - lo[a] > hi[axis] - lo[axis] ? a : axis;
    const std::size_t mid = begin + (end - begin) / 2;
    std::nth_element(points_.begin() + static_cast<std::ptrdiff_t>(begin),
                     points_.begin() + static_cast<std::ptrdiff_t>(mid),
                     points_.begin() + static_cast<std::ptrdiff_t>(end),
                     [axis](const Point& a, const Point& b) { return a.at[axis] < b.at[axis]; });
    const std::uint32_t left = build(begin, mid);
    const std::uint32_t right = build(mid, end);
    nodes_[at].split = points_[mid].at[axis];
    nodes_[at].axis = static_cast<std::uint32_t>(axis);
    nodes_[at].left = left;
    nodes_[at].right = right;
    return at;
  }

  template <class Keep>
  struct Search {
    const KdTree* tree;
    double q[D];
    std::size_t k;
    Keep keep;
    std::size_t count = 0;
    double d2[16] = {};
    std::uint64_t ids[16] = {};

    double worst() const {
      return count == k ? d2[k - 1] : std::numeric_limits<double>::infinity();
    }
    void offer(double d, std::uint64_t id) {
      if (count == k ? !(d < d2[k - 1]) : d == std::numeric_limits<double>::infinity()) return;
      std::size_t i = count == k ? k - 1 : count++;
      for (; i > 0 && d < d2[i - 1]; --i) {
        d2[i] = d2[i - 1];
        ids[i] = ids[i - 1];
      }
      d2[i] = d;
      ids[i] = id;
    }
    void visit(std::uint32_t n, double rd, double (&off)[D]) {
      const Node& node = tree->nodes_[n];
      if (node.axis == D) {
        for (std::uint32_t i = node.begin; i < node.end; ++i) {
          const Point& p = tree->points_[i];
          double d = 0.0;
          for (std::size_t a = 0; a < D; ++a) d += (p.at[a] - q[a]) * (p.at[a] - q[a]);
          // Selected rather than branched on: the filter passes about half.
          offer(keep(p.id) ? d : std::numeric_limits<double>::infinity(), p.id);
        }
        return;
      }
      const double diff = q[node.axis] - node.split;
      const std::uint32_t near = diff < 0 ? node.left : node.right;
      const std::uint32_t far = diff < 0 ? node.right : node.left;
      visit(near, rd, off);
      const double old = off[node.axis];
      const double far_rd = rd - old * old + diff * diff;
      if (far_rd < worst()) {
        off[node.axis] = diff;
        visit(far, far_rd, off);
        off[node.axis] = old;
      }
    }
  };

  std::vector<Point> points_;
  std::vector<Node> nodes_;
  std::uint32_t root_ = kLeafless;
};

}  // namespace nemra_bench

#endif
