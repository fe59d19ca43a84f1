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

std::uint64_t EntityIndex::hashOf(std::uint64_t id) const noexcept { return mix(id ^ seed_); }

std::size_t EntityIndex::slotOfId(std::uint64_t id) const noexcept {
  const std::uint64_t hash = hashOf(id);
  const std::uint32_t tag = tagOf(hash);
  const std::uint32_t position = positionMask();
  const std::size_t mask = sparse_.size() - 1;
  for (std::size_t i = homeOf(hash);; i = (i + 1) & mask) {
    const std::uint32_t slot = sparse_[i];
    if (slot == EMPTY) return NO_SLOT;
    if ((slot & ~position) == tag && far_[slot & position].id == id) return i;
  }
}

const RowRef* EntityIndex::findSparse(std::uint64_t id) const noexcept {
  const std::size_t i = slotOfId(id);
  return i == NO_SLOT ? nullptr : &far_[sparse_[i] & positionMask()].ref;
}

std::size_t EntityIndex::slotOf(std::uint32_t at) const noexcept {
  const std::uint32_t position = positionMask();
  const std::size_t mask = sparse_.size() - 1;
  std::size_t i = homeOf(hashOf(far_[at].id));
  while (sparse_[i] == EMPTY || (sparse_[i] & position) != at) i = (i + 1) & mask;
  return i;
}

void EntityIndex::place(std::uint32_t at) noexcept {
  const std::uint64_t hash = hashOf(far_[at].id);
  const std::size_t mask = sparse_.size() - 1;
  std::size_t i = homeOf(hash);
  while (sparse_[i] != EMPTY) i = (i + 1) & mask;
  sparse_[i] = tagOf(hash) | at;
}

void EntityIndex::rehash() noexcept {
  std::ranges::fill(sparse_, EMPTY);
  seed_ = drawSeed();
  shift_ = 64 - std::countr_zero(sparse_.size());
  sparse_min_ = NO_ID;
  for (std::uint32_t at = 0; at < far_.size(); ++at) {
    place(at);
    if (far_[at].id < sparse_min_) sparse_min_ = far_[at].id;
  }
}

bool EntityIndex::reserveBeyondDense(std::uint64_t id) noexcept {
  const std::uint64_t limit = denseLimit();
  if (id < limit) {
    // At least double (within the limit), so that ids arriving one above another do not grow
    // the array, and scan the far entries, once each.
    const std::uint64_t doubled = 2 * static_cast<std::uint64_t>(dense_.size());
    std::uint64_t want = id + 1 > doubled ? id + 1 : (doubled < limit ? doubled : limit);
    // Within reserved capacity, no further: reserveDense asked for exactly that much.
    if (id < dense_.capacity() && want > dense_.capacity()) want = dense_.capacity();
    try {
      dense_.resize(static_cast<std::size_t>(want), RowRef{NONE, 0});
    } catch (const std::bad_alloc&) {
      return false;
    }
    // Far ids that the dense array now covers move into it; the others close up, in order.
    if (!far_.empty() && sparse_min_ < dense_.size()) {
      std::size_t kept = 0;
      for (const Entry& e : far_) {
        if (e.id < dense_.size()) {
          dense_[static_cast<std::size_t>(e.id)] = e.ref;
        } else {
          far_[kept++] = e;
        }
      }
      far_.resize(kept);
      rehash();
    }
    return true;
  }
  // Room for one more: the table stays under half full, so that no position reaches the mask
  // (a slot of all ones would read as free), and positions stay below 2^32 − 1.
  if ((far_.size() + 1) * 2 < sparse_.size() && far_.size() < far_.capacity() &&
      far_.size() < EMPTY - 1) {
    return true;
  }
  return growSparse();
}

bool EntityIndex::growSparse() noexcept {
  if (far_.size() >= EMPTY - 1) return false;  // positions are 32-bit
  try {
    if (far_.size() == far_.capacity()) far_.reserve(far_.empty() ? 8 : 2 * far_.size());
    if ((far_.size() + 1) * 2 >= sparse_.size()) {
      std::pmr::vector<std::uint32_t> grown(sparse_.size() == 0 ? 16 : sparse_.size() * 2, EMPTY,
                                            sparse_.get_allocator());
      grown.swap(sparse_);
      rehash();
    }
    return true;
  } catch (const std::bad_alloc&) {
    return false;
  } catch (const std::length_error&) {
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

EntityIndex::Assigned EntityIndex::assign(std::pmr::vector<Entry>& entries) noexcept {
  // Emptied, its storage kept for the assignments below.
  dense_.clear();
  sparse_.clear();
  far_.clear();
  count_ = 0;
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
  if (far >= EMPTY) return Assigned::outOfMemory;  // positions are 32-bit
  // When the far entries fill at least half the list's storage, that storage becomes the far
  // array (and the list takes the far array's old storage); otherwise they are copied into an
  // array of their own, so that the index never keeps more than twice what it uses.
  const bool adopt = far > 0 && 2 * far >= entries.capacity();
  try {
    if (top > 0) dense_.assign(static_cast<std::size_t>(top) + 1, RowRef{NONE, 0});
    if (far > 0) sparse_.assign(table_size, EMPTY);
    if (!adopt) far_.reserve(far);
  } catch (const std::bad_alloc&) {
    release();
    return Assigned::outOfMemory;
  }
  // Dense ids in place; far ones in order, at the front of the list or into the far array.
  std::size_t kept = 0;
  for (const Entry& e : entries) {
    if (e.id < limit) {
      RowRef& r = dense_[static_cast<std::size_t>(e.id)];
      if (r.table != NONE) {
        release();
        return Assigned::duplicate;
      }
      r = e.ref;
    } else if (adopt) {
      entries[kept++] = e;
    } else {
      far_.push_back(e);
    }
  }
  count_ = entries.size();
  if (adopt) {
    entries.resize(far);
    far_.swap(entries);
  }
  if (far == 0) return Assigned::ok;

  // The table outgrows the caches, and a probe's branch on a slot not yet fetched costs the whole
  // miss when mispredicted. So the far entries go in in batches: a batch's hashes are computed
  // and its home slots fetched while the batch before is written; each entry then takes its home
  // slot if free, without a branch (a free slot keeps the entry, a taken one its occupant), and
  // only the entries that found it taken probe on. Any order of insertion leaves the table valid
  // for linear probing, and an id given twice finds its first copy as it probes.
  seed_ = drawSeed();
  shift_ = 64 - std::countr_zero(table_size);
  // Locals, so that the compiler need not reload them after each store to the table.
  const std::uint64_t seed = seed_;
  const int shift = shift_;
  const std::uint32_t position = positionMask();
  const std::uint32_t tag_shift = static_cast<std::uint32_t>(63 - shift);
  const auto tagOfHash = [&](std::uint64_t hash) noexcept {
    return position == EMPTY ? 0U : static_cast<std::uint32_t>(hash) << tag_shift;
  };
  std::uint32_t* const table = sparse_.data();
  const Entry* const entry = far_.data();
  const std::size_t mask = sparse_.size() - 1;
  constexpr std::size_t kBatch = 64;
  std::uint64_t hashes[2][kBatch];
  std::uint32_t bounced[kBatch];
  std::uint64_t least = NO_ID;
  const auto fetch = [&](std::size_t from, std::uint64_t* out) noexcept {
    const std::size_t to = from + kBatch < far ? from + kBatch : far;
    for (std::size_t at = from; at < to; ++at) {
      least = entry[at].id < least ? entry[at].id : least;
      out[at - from] = mix(entry[at].id ^ seed);
      __builtin_prefetch(&table[out[at - from] >> shift], 1);
    }
  };
  fetch(0, hashes[0]);
  for (std::size_t from = 0, b = 0; from < far; from += kBatch, b ^= 1) {
    if (from + kBatch < far) fetch(from + kBatch, hashes[b ^ 1]);
    const std::size_t count = from + kBatch < far ? kBatch : far - from;
    std::size_t bounces = 0;
    for (std::size_t k = 0; k < count; ++k) {
      const std::uint64_t hash = hashes[b][k];
      std::uint32_t& slot = table[hash >> shift];
      const std::uint32_t held = slot;
      // All ones when the slot is free. Hidden from the optimiser, which would otherwise turn
      // the select back into a branch around the store.
      std::uint32_t free = 0U - static_cast<std::uint32_t>(held == EMPTY);
      __asm__("" : "+r"(free));
      slot = ((tagOfHash(hash) | static_cast<std::uint32_t>(from + k)) & free) | (held & ~free);
      bounced[bounces] = static_cast<std::uint32_t>(k);
      bounces += free + 1;  // 1 when the slot was taken
    }
    for (std::size_t j = 0; j < bounces; ++j) {
      const std::size_t k = bounced[j];
      const std::uint64_t id = entry[from + k].id;
      const std::uint32_t tag = tagOfHash(hashes[b][k]);
      std::size_t i = static_cast<std::size_t>(hashes[b][k] >> shift);
      for (; table[i] != EMPTY; i = (i + 1) & mask) {
        if ((table[i] & ~position) == tag && entry[table[i] & position].id == id) {
          release();
          return Assigned::duplicate;
        }
      }
      table[i] = tag | static_cast<std::uint32_t>(from + k);
    }
  }
  sparse_min_ = least;
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
  far_.push_back(Entry{id, ref});  // within the capacity reserveBeyondDense made
  place(static_cast<std::uint32_t>(far_.size() - 1));
  if (id < sparse_min_) sparse_min_ = id;
}

// Backward-shift deletion of the slot, then the far array closes the hole with its last entry.
void EntityIndex::sparseErase(std::size_t slot) noexcept {
  const std::uint32_t position = positionMask();
  const std::uint32_t at = sparse_[slot] & position;
  const std::size_t mask = sparse_.size() - 1;
  std::size_t gap = slot;
  for (std::size_t i = (gap + 1) & mask; sparse_[i] != EMPTY; i = (i + 1) & mask) {
    const std::size_t h = homeOf(hashOf(far_[sparse_[i] & position].id));
    // The entry at i may fill the gap when its home is not in (gap, i] cyclically.
    const bool stays = gap <= i ? (gap < h && h <= i) : (gap < h || h <= i);
    if (!stays) {
      sparse_[gap] = sparse_[i];
      gap = i;
    }
  }
  sparse_[gap] = EMPTY;
  const auto last = static_cast<std::uint32_t>(far_.size() - 1);
  if (at != last) {
    std::uint32_t& moved = sparse_[slotOf(last)];
    moved = (moved & ~position) | at;
    far_[at] = far_[last];
  }
  far_.pop_back();
}

void EntityIndex::erase(std::uint64_t id) noexcept {
  if (id < dense_.size()) {
    RowRef& entry = dense_[static_cast<std::size_t>(id)];
    if (entry.table == NONE) return;
    entry = RowRef{NONE, 0};
  } else {
    const std::size_t slot = far_.empty() ? NO_SLOT : slotOfId(id);
    if (slot == NO_SLOT) return;
    sparseErase(slot);
  }
  --count_;
}

void EntityIndex::release() noexcept {
  releaseStorage(dense_);
  releaseStorage(sparse_);
  releaseStorage(far_);
  count_ = 0;
  sparse_min_ = NO_ID;
  seed_ = 0;
  shift_ = 64;
}

}  // namespace nemra_ecs::detail
