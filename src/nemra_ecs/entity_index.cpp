#include <algorithm>
#include <atomic>
#include <bit>
#include <chrono>
#include <new>
#include <random>
#include <stdexcept>

#include <nemra_ecs/entity_index.hpp>
#include <nemra_ecs/owning.hpp>

namespace nemra_ecs::detail {

namespace {

// The 64-bit finaliser of a well-known mixing family: every input bit reaches every output bit.
constexpr std::uint64_t mix(std::uint64_t x) noexcept {
  x ^= x >> 33;
  x *= 0xFF51AFD7ED558CCDULL;
  x ^= x >> 33;
  x *= 0xC4CEB9FE1A85EC53ULL;
  x ^= x >> 33;
  return x;
}

std::uint64_t startingState() noexcept {
  std::uint64_t s =
      static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
  try {
    std::random_device device;
    s ^= (static_cast<std::uint64_t>(device()) << 32) ^ device();
  } catch (...) {
    // No random device: the clock alone still keeps the seed out of a caller's reach.
  }
  return s;
}

// A fresh seed for a table's hash: a process-wide counter, started at a random point, mixed.
std::uint64_t drawSeed() noexcept {
  static std::atomic<std::uint64_t> state{startingState()};
  constexpr std::uint64_t kStep = 0x9E3779B97F4A7C15ULL;
  return mix(state.fetch_add(kStep, std::memory_order_relaxed) + kStep);
}

}  // namespace

std::uint64_t EntityIndex::denseLimit() const noexcept {
  return 2 * (static_cast<std::uint64_t>(count_) + 1) + DENSE_SLACK;
}

std::size_t EntityIndex::home(std::uint64_t id) const noexcept {
  return static_cast<std::size_t>(mix(id ^ seed_) >> shift_);
}

const RowRef* EntityIndex::findSparse(std::uint64_t id) const noexcept {
  if (id == 0) return nullptr;
  const std::size_t mask = sparse_.size() - 1;
  for (std::size_t i = home(id);; i = (i + 1) & mask) {
    if (sparse_[i].id == id) return &sparse_[i].ref;
    if (sparse_[i].id == 0) return nullptr;
  }
}

bool EntityIndex::reserveBeyondDense(std::uint64_t id) noexcept {
  const std::uint64_t limit = denseLimit();
  if (id < limit) {
    // At least double (within the limit), so that ids arriving one above another do not grow
    // the array, and scan the table, once each.
    const std::uint64_t doubled = 2 * static_cast<std::uint64_t>(dense_.size());
    std::uint64_t want = id + 1 > doubled ? id + 1 : (doubled < limit ? doubled : limit);
    // Within reserved capacity, no further: reserveDense asked for exactly that much.
    if (id < dense_.capacity() && want > dense_.capacity()) want = dense_.capacity();
    try {
      dense_.resize(static_cast<std::size_t>(want), RowRef{NONE, 0});
    } catch (const std::bad_alloc&) {
      return false;
    }
    // Ids kept in the table that the dense array now covers move into it.
    if (sparse_count_ > 0 && sparse_min_ < dense_.size()) {
      for (std::size_t i = 0; i < sparse_.size();) {
        const std::uint64_t k = sparse_[i].id;
        if (k != 0 && k < dense_.size()) {
          dense_[static_cast<std::size_t>(k)] = sparse_[i].ref;
          sparseErase(i);  // may move a later entry into slot i: look at it again
        } else {
          ++i;
        }
      }
      sparse_min_ = NO_ID;
      for (const Slot& s : sparse_) {
        if (s.id != 0 && s.id < sparse_min_) sparse_min_ = s.id;
      }
    }
    return true;
  }
  if ((sparse_count_ + 1) * 2 <= sparse_.size()) return true;
  return growSparse();
}

bool EntityIndex::growSparse() noexcept {
  try {
    std::pmr::vector<Slot> grown(sparse_.size() == 0 ? 16 : sparse_.size() * 2, Slot{0, {}},
                                 sparse_.get_allocator());
    grown.swap(sparse_);
    sparse_count_ = 0;
    sparse_min_ = NO_ID;
    seed_ = drawSeed();
    shift_ = 64 - std::countr_zero(sparse_.size());
    for (const Slot& s : grown) {
      if (s.id != 0) sparseInsert(s.id, s.ref);
    }
    return true;
  } catch (const std::bad_alloc&) {
    return false;
  }
}

bool EntityIndex::reserveDense(std::uint64_t top) noexcept {
  try {
    if (top + 1 > dense_.capacity()) dense_.reserve(static_cast<std::size_t>(top) + 1);
  } catch (const std::bad_alloc&) {
    return false;
  } catch (const std::length_error&) {
    return false;
  }
  return true;
}

EntityIndex::Assigned EntityIndex::assign(std::span<Entry> entries) noexcept {
  // Emptied, its storage kept for the assignments below.
  dense_.clear();
  sparse_.clear();
  count_ = 0;
  sparse_count_ = 0;
  sparse_min_ = NO_ID;
  seed_ = 0;
  shift_ = 64;
  const std::uint64_t limit = 2 * (static_cast<std::uint64_t>(entries.size()) + 1) + DENSE_SLACK;
  std::uint64_t top = 0;
  std::size_t far = 0;
  for (const Entry& e : entries) {
    if (e.id < limit) {
      top = e.id > top ? e.id : top;
    } else {
      ++far;
    }
  }
  std::size_t table_size = 0;
  if (far > 0) {
    table_size = 16;
    while ((far + 1) * 2 > table_size) table_size *= 2;
  }
  try {
    if (top > 0) dense_.assign(static_cast<std::size_t>(top) + 1, RowRef{NONE, 0});
    if (far > 0) sparse_.assign(table_size, Slot{0, {}});
  } catch (const std::bad_alloc&) {
    release();
    return Assigned::outOfMemory;
  }
  // Dense ids in place; far ones gathered at the front of `entries`.
  std::size_t k = 0;
  for (std::size_t i = 0; i < entries.size(); ++i) {
    const Entry e = entries[i];
    if (e.id < limit) {
      RowRef& r = dense_[static_cast<std::size_t>(e.id)];
      if (r.table != NONE) {
        release();
        return Assigned::duplicate;
      }
      r = e.ref;
    } else {
      entries[k++] = e;
    }
  }
  count_ = entries.size();
  if (far == 0) return Assigned::ok;

  // Far ids inserted in the order given, each one's home slot fetched kAhead inserts before it is
  // written: the table outgrows the caches, and fetching ahead overlaps the misses that random
  // homes cost (a sort by home slot first costs more than the misses it saves).
  seed_ = drawSeed();
  shift_ = 64 - std::countr_zero(table_size);
  const Entry* from = entries.data();
  constexpr std::size_t kAhead = 32;
  const std::size_t mask = sparse_.size() - 1;
  for (std::size_t i = 0; i < far; ++i) {
    if (i + kAhead < far) __builtin_prefetch(&sparse_[home(from[i + kAhead].id)], 1);
    const Entry e = from[i];
    std::size_t at = home(e.id);
    for (; sparse_[at].id != 0; at = (at + 1) & mask) {
      if (sparse_[at].id == e.id) {
        release();
        return Assigned::duplicate;
      }
    }
    sparse_[at] = Slot{e.id, e.ref};
    ++sparse_count_;
    if (e.id < sparse_min_) sparse_min_ = e.id;
  }
  return Assigned::ok;
}

bool EntityIndex::fittedDense(std::pmr::vector<RowRef>& out) const noexcept {
  // Ids past the new end were empty, and ids kept in the table are past the old end: every
  // entry stays where find() looks for it.
  std::size_t used = dense_.size();
  while (used > 0 && dense_[used - 1].table == NONE) --used;
  try {
    out.reserve(used);
  } catch (const std::bad_alloc&) {
    return false;
  }
  out.assign(dense_.begin(), dense_.begin() + static_cast<std::ptrdiff_t>(used));
  return true;
}

void EntityIndex::sparseInsert(std::uint64_t id, RowRef ref) noexcept {
  const std::size_t mask = sparse_.size() - 1;
  std::size_t i = home(id);
  while (sparse_[i].id != 0) i = (i + 1) & mask;
  sparse_[i] = Slot{id, ref};
  ++sparse_count_;
  if (id < sparse_min_) sparse_min_ = id;
}

// Backward-shift deletion: entries after the gap that would not be found past it move into it.
void EntityIndex::sparseErase(std::size_t slot) noexcept {
  const std::size_t mask = sparse_.size() - 1;
  std::size_t gap = slot;
  for (std::size_t i = (gap + 1) & mask; sparse_[i].id != 0; i = (i + 1) & mask) {
    const std::size_t h = home(sparse_[i].id);
    // The entry at i may fill the gap when its home is not in (gap, i] cyclically.
    const bool stays = gap <= i ? (gap < h && h <= i) : (gap < h || h <= i);
    if (!stays) {
      sparse_[gap] = sparse_[i];
      gap = i;
    }
  }
  sparse_[gap] = Slot{0, {}};
  --sparse_count_;
}

void EntityIndex::erase(std::uint64_t id) noexcept {
  if (id < dense_.size()) {
    dense_[static_cast<std::size_t>(id)] = RowRef{NONE, 0};
  } else {
    const std::size_t mask = sparse_.size() - 1;
    std::size_t i = home(id);
    while (sparse_[i].id != id) i = (i + 1) & mask;
    sparseErase(i);
  }
  --count_;
}

void EntityIndex::release() noexcept {
  releaseStorage(dense_);
  releaseStorage(sparse_);
  count_ = 0;
  sparse_count_ = 0;
  sparse_min_ = NO_ID;
  seed_ = 0;
  shift_ = 64;
}

}  // namespace nemra_ecs::detail
