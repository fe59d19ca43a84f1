#include <atomic>
#include <bit>
#include <cstdint>
#include <limits>

#include <selfcheck/stack/call_frame_rules.hpp>
#include <selfcheck/stack/fast_unwind.hpp>
#include <selfcheck/stack/fast_unwind_hooks.hpp>
#include <selfcheck/stack/stack_trace.hpp>

#if SELFCHECK_FAST_UNWIND
#include <pthread.h>
#endif

#if SELFCHECK_FAST_UNWIND

namespace selfcheck {
namespace {

using detail::computeRule;
using detail::kCfaFromRbp;
using detail::kOutermost;
using detail::kRbpSaved;
using detail::kSlow;
using detail::Rule;

// --- The cache ----------------------------------------------------------------------------------

// A direct-mapped table keyed by return address. Each slot is a sequence lock: a writer makes
// the count odd, writes, and makes it even again; a reader that sees the count change, or odd,
// treats the slot as a miss. A writer that finds the slot busy leaves it alone.
struct Slot {
  std::atomic<std::uint32_t> sequence{0};
  std::atomic<std::uintptr_t> pc{0};
  std::atomic<std::uint64_t> rule{0};
};

constexpr std::size_t kCacheSlots = 4096;
constinit Slot cache[kCacheSlots];
constinit std::atomic<std::size_t> slot_mask{kCacheSlots - 1};

Slot& slotFor(std::uintptr_t pc) {
  const std::uint64_t hash = static_cast<std::uint64_t>(pc) * 0x9e3779b97f4a7c15u;
  return cache[(hash >> 32) & slot_mask.load(std::memory_order_relaxed)];
}

bool lookUp(std::uintptr_t pc, Rule& rule) {
  Slot& slot = slotFor(pc);
  // Acquire loads throughout (plain loads on x86-64): the second look at the count cannot move
  // before the reads of the slot, and a slot read mid-write shows an odd or changed count.
  const std::uint32_t before = slot.sequence.load(std::memory_order_acquire);
  const std::uintptr_t key = slot.pc.load(std::memory_order_acquire);
  const std::uint64_t packed = slot.rule.load(std::memory_order_acquire);
  if ((before & 1) != 0 || slot.sequence.load(std::memory_order_acquire) != before || key != pc ||
      packed == 0) {
    return false;
  }
  rule = std::bit_cast<Rule>(packed);
  return true;
}

void store(std::uintptr_t pc, Rule rule) {
  Slot& slot = slotFor(pc);
  std::uint32_t sequence = slot.sequence.load(std::memory_order_relaxed);
  if ((sequence & 1) != 0 ||
      !slot.sequence.compare_exchange_strong(sequence, sequence + 1, std::memory_order_acquire,
                                             std::memory_order_relaxed)) {
    return;
  }
  // Release stores: a reader that sees either new value sees the odd count before it.
  slot.pc.store(pc, std::memory_order_release);
  slot.rule.store(std::bit_cast<std::uint64_t>(rule), std::memory_order_release);
  slot.sequence.store(sequence + 2, std::memory_order_release);
}

Rule ruleFor(std::uintptr_t pc) {
  Rule rule;
  if (lookUp(pc, rule)) return rule;
  rule = computeRule(pc);
  store(pc, rule);
  return rule;
}

// --- The walk -----------------------------------------------------------------------------------

// The calling thread's stack, found on its first capture; empty when unknown, which sends every
// capture of the thread to the general unwinder.
struct StackBounds {
  std::uintptr_t low = 0;
  std::uintptr_t high = 0;
  bool known = false;
};
thread_local constinit StackBounds stack_bounds;

const StackBounds& threadStack() {
  StackBounds& bounds = stack_bounds;
  if (bounds.known) return bounds;
  bounds.known = true;
  pthread_attr_t attributes;
  if (pthread_getattr_np(pthread_self(), &attributes) != 0) return bounds;
  void* address = nullptr;
  std::size_t size = 0;
  if (pthread_attr_getstack(&attributes, &address, &size) == 0) {
    bounds.low = reinterpret_cast<std::uintptr_t>(address);
    bounds.high = bounds.low + size;
  }
  pthread_attr_destroy(&attributes);
  return bounds;
}

// A word of the stack, read the way the unwinder reads it: outside the sanitizers' view, since
// saved registers sit between the frames they instrument.
std::uintptr_t stackWord(std::uintptr_t address) {
  std::uintptr_t value;
  asm volatile("movq (%1), %0" : "=r"(value) : "r"(address));
  return value;
}

constexpr std::size_t kGiveUp = ~std::size_t{0};
constinit std::atomic<std::size_t> fallbacks{0};

// Walks from the state (pc, sp, fp) of captureFramesFast itself, whose frame is not stored. The
// order is the general unwinder's: a frame's rule is found before the frame is stored, and a frame
// without a return address is stored and ends the stack.
std::size_t walk(std::uintptr_t pc, std::uintptr_t sp, std::uintptr_t fp, void** out,
                 std::size_t capacity, std::size_t skip) {
  const StackBounds& stack = threadStack();
  const auto on_stack = [&](std::uintptr_t address) {
    return address >= stack.low && address < stack.high &&
           stack.high - address >= sizeof(std::uintptr_t);
  };
  if (!on_stack(sp)) return kGiveUp;
  Rule rule = ruleFor(pc);
  std::size_t count = 0;
  for (;;) {
    if (rule.flags & kSlow) return kGiveUp;
    if (rule.flags & kOutermost) return count;
    const std::uintptr_t cfa =
        ((rule.flags & kCfaFromRbp) ? fp : sp) + static_cast<std::uintptr_t>(rule.cfa_offset);
    const std::uintptr_t ra_at = cfa + static_cast<std::uintptr_t>(rule.ra_offset);
    const std::uintptr_t rbp_at = cfa + static_cast<std::uintptr_t>(rule.rbp_offset);
    if (cfa <= sp || cfa > stack.high || !on_stack(ra_at)) return kGiveUp;
    if (rule.flags & kRbpSaved) {
      if (!on_stack(rbp_at)) return kGiveUp;
      fp = stackWord(rbp_at);
    }
    pc = stackWord(ra_at);
    sp = cfa;
    if (pc == 0) return count;
    rule = ruleFor(pc);
    if (rule.flags & kSlow) return kGiveUp;
    if (skip > 0) {
      --skip;
      continue;
    }
    if (count == capacity) return count;
    out[count++] = reinterpret_cast<void*>(pc - 1);
  }
}

}  // namespace

std::size_t captureFramesFast(void** out, std::size_t capacity, std::size_t skip) noexcept {
  std::uintptr_t pc;
  std::uintptr_t sp;
  std::uintptr_t fp;
  // rbp first: an output may be given rbp itself.
  asm volatile(
      "movq %%rbp, %2\n\t"
      "movq %%rsp, %1\n\t"
      "leaq 0(%%rip), %0"
      : "=r"(pc), "=r"(sp), "=r"(fp));
  const std::size_t count = walk(pc, sp, fp, out, capacity, skip);
  if (count != kGiveUp) return count;
  fallbacks.fetch_add(1, std::memory_order_relaxed);
  std::size_t slow = captureFrames(out, capacity, skip + 1);  // +1: this function's own frame
  asm volatile("" : "+r"(slow));  // not a tail call: this frame must stay
  return slow;
}

namespace detail {

std::size_t setUnwindCacheSlots(std::size_t slots) noexcept {
  slots = std::bit_floor(slots == 0 ? std::size_t{1} : slots);
  if (slots > kCacheSlots) slots = kCacheSlots;
  return slot_mask.exchange(slots - 1, std::memory_order_relaxed) + 1;
}

std::size_t unwindFallbacks() noexcept { return fallbacks.load(std::memory_order_relaxed); }

}  // namespace detail
}  // namespace selfcheck

#else

namespace selfcheck {

std::size_t captureFramesFast(void** out, std::size_t capacity, std::size_t skip) noexcept {
  std::size_t count = captureFrames(out, capacity, skip + 1);  // +1: this function's own frame
  asm volatile("" : "+r"(count));                              // not a tail call
  return count;
}

namespace detail {

std::size_t setUnwindCacheSlots(std::size_t) noexcept { return 1; }

std::size_t unwindFallbacks() noexcept { return 0; }

}  // namespace detail
}  // namespace selfcheck

#endif
