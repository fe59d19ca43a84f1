// The leak-checking resource at 1e3, 1e4 and 1e5 blocks: allocate/free pairs (each block freed
// before the next is allocated), and live blocks (all allocated, then all freed). Each iteration
// uses a fresh resource and ends with close(), which is timed too. The counter "per_op" is the
// time per pair or per block; the cost is constant when it does not grow with the count.
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include <benchmark/benchmark.h>

#include <selfcheck/leak/leak_resource.hpp>

namespace {

using selfcheck::LeakCheckingResource;

constexpr std::size_t kBlockBytes = 16;

void closeClean(LeakCheckingResource& resource) {
  if (resource.close()) {
    std::fputs("nemra-bench-alloc: the resource reported a leak\n", stderr);
    std::abort();
  }
}

void perOp(benchmark::State& state) {
  state.counters["per_op"] = benchmark::Counter(
      static_cast<double>(state.range(0)),
      benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

void BM_LeakResourcePairs(benchmark::State& state) {
  const auto count = static_cast<std::size_t>(state.range(0));
  for (auto _ : state) {
    LeakCheckingResource resource;
    for (std::size_t i = 0; i < count; ++i) {
      void* p = resource.allocate(kBlockBytes, alignof(std::max_align_t));
      benchmark::DoNotOptimize(p);
      resource.deallocate(p, kBlockBytes, alignof(std::max_align_t));
    }
    closeClean(resource);
  }
  perOp(state);
}

void BM_LeakResourceLive(benchmark::State& state) {
  const auto count = static_cast<std::size_t>(state.range(0));
  std::vector<void*> blocks(count);
  for (auto _ : state) {
    LeakCheckingResource resource;
    for (void*& p : blocks) p = resource.allocate(kBlockBytes, alignof(std::max_align_t));
    for (void* p : blocks) resource.deallocate(p, kBlockBytes, alignof(std::max_align_t));
    closeClean(resource);
  }
  perOp(state);
}

BENCHMARK(BM_LeakResourcePairs)
    ->Name("leakResource/pairs")
    ->RangeMultiplier(10)
    ->Range(1000, 100000)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LeakResourceLive)
    ->Name("leakResource/live")
    ->RangeMultiplier(10)
    ->Range(1000, 100000)
    ->Unit(benchmark::kMillisecond);

}  // namespace
