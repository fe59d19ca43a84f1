#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstdlib>
#include <functional>
#include <memory_resource>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include <selfcheck/stack/fast_unwind.hpp>
#include <selfcheck/stack/fast_unwind_hooks.hpp>
#include <selfcheck/stack/stack_trace.hpp>

#include "fast_unwind_frames.hpp"

namespace fast_unwind_test {

constexpr std::size_t kMaxCapacity = 64;
void* const kUnwritten = reinterpret_cast<void*>(0x5a5a5a5a);

// What the comparisons found, across threads.
struct Findings {
  std::atomic<std::size_t> points{0};
  std::atomic<std::size_t> mismatches{0};
  std::mutex mutex;
  std::string first;  // the first mismatch, described
};
Findings findings;

void mismatch(const char* what, std::size_t capacity, std::size_t skip, std::size_t slow_count,
              std::size_t fast_count) {
  if (findings.mismatches.fetch_add(1) != 0) return;
  std::lock_guard lock(findings.mutex);
  findings.first = std::string(what) + " at capacity " + std::to_string(capacity) + ", skip " +
                   std::to_string(skip) + ": libgcc stored " + std::to_string(slow_count) +
                   " frames, the fast capture " + std::to_string(fast_count);
}

// Both captures back to back, for every capacity and skip, with skip + 1 so that both start from
// the caller of compareHere. With skip 0 the first frame is compareHere at either call; the rest
// must agree. A capacity of 64 reaches the end of the stack.
[[gnu::noinline]] void compareHere() {
  for (std::size_t skip = 0; skip <= 3; ++skip) {
    for (std::size_t capacity = 1; capacity <= kMaxCapacity;
         capacity = capacity < 32 ? capacity + 1 : kMaxCapacity) {
      void* slow[kMaxCapacity];
      void* fast[kMaxCapacity];
      std::fill(std::begin(fast), std::end(fast), kUnwritten);
      const std::size_t slow_count = selfcheck::captureFrames(slow, capacity, skip + 1);
      const std::size_t fast_count = selfcheck::captureFramesFast(fast, capacity, skip + 1);
      if (fast_count != slow_count || !std::equal(slow, slow + slow_count, fast)) {
        mismatch("frames differ", capacity, skip + 1, slow_count, fast_count);
      } else if (std::any_of(fast + fast_count, fast + kMaxCapacity,
                             [](void* frame) { return frame != kUnwritten; })) {
        mismatch("written past the frames", capacity, skip + 1, slow_count, fast_count);
      }
      if (skip == 0) {
        const std::size_t own_slow = selfcheck::captureFrames(slow, capacity, 0);
        const std::size_t own_fast = selfcheck::captureFramesFast(fast, capacity, 0);
        if (own_fast != own_slow || !std::equal(slow + 1, slow + own_slow, fast + 1)) {
          mismatch("frames differ", capacity, 0, own_slow, own_fast);
        }
      }
      if (capacity == kMaxCapacity) break;
    }
  }
  findings.points.fetch_add(1);
}

// Unlikely in the compiler's eyes, always taken: GCC places the early return first, and the call
// after it runs under DW_CFA_restore_state.
[[gnu::noinline]] int levelEarlyReturn(const char* pattern, std::size_t at) {
  const int before = opaque(at);
  if (__builtin_expect(before < 0, 1)) return before;
  return descend(pattern, at + 1) + before;
}

[[gnu::noinline]] int levelPlain(const char* pattern, std::size_t at) {
  return descend(pattern, at + 1) + opaque(at);
}

// alloca makes the CFA rbp-based even where frame pointers are omitted.
[[gnu::noinline]] int levelAlloca(const char* pattern, std::size_t at) {
  auto* bytes = static_cast<volatile char*>(__builtin_alloca(16 + 8 * at));
  bytes[0] = static_cast<char>(at);
  return descend(pattern, at + 1) + bytes[0];
}

[[noreturn, gnu::noinline]] void descendThenThrow(const char* pattern, std::size_t at) {
  throw descend(pattern, at);
}

// Its call is its last instruction: the return address is past its end, and only the address
// before it finds this function's unwinding rule.
[[noreturn, gnu::noinline]] void levelNoReturn(const char* pattern, std::size_t at) {
  descendThenThrow(pattern, at + 1);
}

int descend(const char* pattern, std::size_t at) {
  switch (pattern[at]) {
    case 'x':
      try {
        levelNoReturn(pattern, at);
      } catch (int result) {
        return result;
      }
    case 'n':
      return levelPlain(pattern, at);
    case 'p':
      return levelFramePointer(pattern, at);
    case 'a':
      return levelAlloca(pattern, at);
    case 'e':
      return levelEarlyReturn(pattern, at);
    case 'r':
      return levelRealigned(pattern, at);
    default:
      compareHere();
      return 0;
  }
}

// Patterns of every length up to 24 from a fixed sequence, and the uniform ones.
std::vector<std::string> patterns(const char* kinds, std::size_t count) {
  std::vector<std::string> out;
  const std::size_t kind_count = std::char_traits<char>::length(kinds);
  for (std::size_t k = 0; k < kind_count; ++k) out.emplace_back(12, kinds[k]);
  std::uint32_t state = 12345;
  for (std::size_t i = 0; i < count; ++i) {
    std::string pattern;
    for (std::size_t j = 0; j <= i % 24; ++j) {
      state = state * 1664525u + 1013904223u;
      pattern += kinds[(state >> 16) % kind_count];
    }
    out.push_back(pattern);
  }
  return out;
}

void descendAll(const std::vector<std::string>& all) {
  for (const std::string& pattern : all) descend(pattern.c_str(), 0);
}

class FastUnwind : public ::testing::Test {
 protected:
  void SetUp() override {
    findings.points = 0;
    findings.mismatches = 0;
  }
  void expectAllAgree(std::size_t points) {
    EXPECT_EQ(findings.points.load(), points);
    EXPECT_EQ(findings.mismatches.load(), 0u) << findings.first;
  }
};

#if defined(__x86_64__)
constexpr bool kWalks = true;
#else
constexpr bool kWalks = false;
#endif

TEST_F(FastUnwind, SameFramesAsLibgccThroughEveryKindOfFrame) {
  const std::vector<std::string> all = patterns("npaex", 60);
  const std::size_t fallbacks = selfcheck::detail::unwindFallbacks();
  descendAll(all);
  expectAllAgree(all.size());
  // These stacks are all walked without the general unwinder.
  if constexpr (kWalks) {
    EXPECT_EQ(selfcheck::detail::unwindFallbacks(), fallbacks);
  }
  // Realigned frames (a CFA expression with GCC) may go either way, with the same frames.
  const std::vector<std::string> realigned = patterns("npraex", 30);
  descendAll(realigned);
  expectAllAgree(all.size() + realigned.size());
}

// Frames of libc and libstdc++ themselves between the capture and the test.
struct CapturingResource : std::pmr::memory_resource {
  void* do_allocate(std::size_t bytes, std::size_t alignment) override {
    compareHere();
    return std::pmr::new_delete_resource()->allocate(bytes, alignment);
  }
  void do_deallocate(void* p, std::size_t bytes, std::size_t alignment) override {
    compareHere();
    std::pmr::new_delete_resource()->deallocate(p, bytes, alignment);
  }
  bool do_is_equal(const std::pmr::memory_resource& other) const noexcept override {
    return this == &other;
  }
};

extern "C" int compareInts(const void* a, const void* b) {
  compareHere();
  return *static_cast<const int*>(a) - *static_cast<const int*>(b);
}

TEST_F(FastUnwind, SameFramesThroughLibraryCode) {
  std::vector<int> values{5, 3, 9, 1, 7, 2};
  std::qsort(values.data(), values.size(), sizeof(int), compareInts);
  std::size_t points = findings.points.load();
  ASSERT_GT(points, 0u);
  std::sort(values.begin(), values.end(), [](int a, int b) {
    compareHere();
    return a > b;
  });
  ASSERT_GT(findings.points.load(), points);
  const std::function<void()> call = [] { compareHere(); };
  call();
  points = findings.points.load();
  {
    CapturingResource capturing;
    std::pmr::unsynchronized_pool_resource pool(&capturing);
    std::pmr::monotonic_buffer_resource monotonic(&pool);
    std::pmr::vector<std::pmr::string> strings(&monotonic);
    for (int i = 0; i < 40; ++i) strings.emplace_back(100, 'x');
  }
  EXPECT_GT(findings.points.load(), points);
  expectAllAgree(findings.points.load());
}

TEST_F(FastUnwind, SameFramesOnManyThreadsWhileEntriesEvictEachOther) {
  const std::vector<std::string> all = patterns("npae", 24);
  const std::size_t fallbacks = selfcheck::detail::unwindFallbacks();
  // Two slots: nearly every lookup evicts another return address's rule, on every thread.
  for (std::size_t slots : {std::size_t{2}, std::size_t{4096}}) {
    const std::size_t previous = selfcheck::detail::setUnwindCacheSlots(slots);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) threads.emplace_back(descendAll, std::cref(all));
    for (std::thread& thread : threads) thread.join();
    selfcheck::detail::setUnwindCacheSlots(previous);
  }
  expectAllAgree(2 * 4 * all.size());
  if constexpr (kWalks) {
    EXPECT_EQ(selfcheck::detail::unwindFallbacks(), fallbacks);
  }
}

#if defined(__x86_64__)
// The captures run on a stack inside `area`; a walk that took the CFA for the caller's rsp would
// read the zeros at `top` as the end of the stack.
TEST_F(FastUnwind, SameFramesAcrossAFrameThatSavedItsCallersStackPointer) {
  alignas(16) char area[65536] = {};
  fastUnwindOnOtherStack(compareHere, area + sizeof area / 2);
  expectAllAgree(1);
}
#endif

void onSignal(int) { descend("npae", 0); }

TEST_F(FastUnwind, SignalFrameGoesThroughLibgcc) {
  struct sigaction action {};
  struct sigaction previous {};
  action.sa_handler = onSignal;
  sigemptyset(&action.sa_mask);
  ASSERT_EQ(sigaction(SIGUSR1, &action, &previous), 0);
  // The thread's first capture asks for its stack bounds, which is not safe in a signal handler:
  // it is done here, before the signal.
  void* frame = nullptr;
  (void)selfcheck::captureFramesFast(&frame, 1, 0);
  const std::size_t fallbacks = selfcheck::detail::unwindFallbacks();
  std::raise(SIGUSR1);
  sigaction(SIGUSR1, &previous, nullptr);
  expectAllAgree(1);
#if defined(__x86_64__)
  EXPECT_GT(selfcheck::detail::unwindFallbacks(), fallbacks);  // elsewhere every capture is one
#else
  (void)fallbacks;
#endif
}

}  // namespace fast_unwind_test
