// A 10-frame stack capture, as the leak-checking allocator records at every allocation and free:
// libgcc's unwinder (captureFrames) against the cached walk (captureFramesFast), both from the
// same depth of the same recursion. Compare the medians of the two in one run.
#include <cstddef>

#include <benchmark/benchmark.h>

#include <selfcheck/stack/fast_unwind.hpp>
#include <selfcheck/stack/stack_trace.hpp>

namespace {

constexpr std::size_t kFrames = 10;
constexpr int kDepth = 12;

using Capture = std::size_t (*)(void**, std::size_t, std::size_t);

// Recurses `depth` times, then captures from the innermost call, leaving out its own frame as
// the allocator leaves out do_allocate's.
[[gnu::noinline]] std::size_t captureAtDepth(Capture capture, int depth, void** out) {
  if (depth > 0) {
    const std::size_t count = captureAtDepth(capture, depth - 1, out);
    benchmark::DoNotOptimize(count);
    return count;
  }
  return capture(out, kFrames, 1);
}

std::size_t libgcc(void** out, std::size_t capacity, std::size_t skip) {
  return selfcheck::captureFrames(out, capacity, skip);
}

std::size_t fast(void** out, std::size_t capacity, std::size_t skip) {
  return selfcheck::captureFramesFast(out, capacity, skip);
}

void run(benchmark::State& state, Capture capture) {
  void* frames[kFrames];
  for (auto _ : state) {
    const std::size_t count = captureAtDepth(capture, kDepth, frames);
    if (count != kFrames) state.SkipWithError("fewer frames than asked for");
    benchmark::DoNotOptimize(frames);
  }
}

void BM_CaptureLibgcc(benchmark::State& state) { run(state, libgcc); }
void BM_CaptureFast(benchmark::State& state) { run(state, fast); }

BENCHMARK(BM_CaptureLibgcc);
BENCHMARK(BM_CaptureFast);

}  // namespace
