#include <bit>
#include <new>

#include <nemra_ecs/entity_index.hpp>
#include <nemra_ecs/owning.hpp>

namespace nemra_ecs::detail {

namespace {
constexpr std::uint64_t kHashMultiplier = 0x9E3779B97F4A7C15ULL;
}

bool EntityIndex::goesDense(std::uint64_t id) const noexcept {
  if (id < dense_.size()) return true;
  const std::uint64_t limit = 2 * (static_cast<std::uint64_t>(count_) + 1) + DENSE_SLACK;
  return id < limit;
}

std::size_t EntityIndex::home(std::uint64_t id) const noexcept {
  const int bits = std::countr_zero(sparse_.size());
  return static_cast<std::size_t>((id * kHashMultiplier) >> (64 - bits));
}

RowRef* EntityIndex::find(std::uint64_t id) noexcept {
  return const_cast<RowRef*>(std::as_const(*this).find(id));
}

const RowRef* EntityIndex::find(std::uint64_t id) const noexcept {
  if (id < dense_.size()) {
    const RowRef& r = dense_[static_cast<std::size_t>(id)];
    return r.table == NONE ? nullptr : &r;
  }
  if (sparse_count_ == 0 || id == 0) return nullptr;
  const std::size_t mask = sparse_.size() - 1;
  for (std::size_t i = home(id);; i = (i + 1) & mask) {
    if (sparse_[i].id == id) return &sparse_[i].ref;
    if (sparse_[i].id == 0) return nullptr;
  }
}

bool EntityIndex::reserveFor(std::uint64_t id) noexcept {
  try {
    if (goesDense(id)) {
      if (id >= dense_.size()) {
        dense_.resize(static_cast<std::size_t>(id) + 1, RowRef{NONE, 0});
        // Ids kept in the table that the dense array now covers move into it.
        if (sparse_count_ > 0) {
          for (std::size_t i = 0; i < sparse_.size();) {
            const std::uint64_t k = sparse_[i].id;
            if (k != 0 && k < dense_.size()) {
              dense_[static_cast<std::size_t>(k)] = sparse_[i].ref;
              sparseErase(i);  // may move a later entry into slot i: look at it again
            } else {
              ++i;
            }
          }
        }
      }
      return true;
    }
    if ((sparse_count_ + 1) * 2 <= sparse_.size()) return true;
    std::pmr::vector<Slot> grown(sparse_.size() == 0 ? 16 : sparse_.size() * 2, Slot{0, {}},
                                 sparse_.get_allocator());
    grown.swap(sparse_);
    sparse_count_ = 0;
    for (const Slot& s : grown) {
      if (s.id != 0) sparseInsert(s.id, s.ref);
    }
    return true;
  } catch (const std::bad_alloc&) {
    return false;
  }
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

void EntityIndex::insert(std::uint64_t id, RowRef ref) noexcept {
  if (id < dense_.size()) {
    dense_[static_cast<std::size_t>(id)] = ref;
  } else {
    sparseInsert(id, ref);
  }
  ++count_;
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
}

}  // namespace nemra_ecs::detail
