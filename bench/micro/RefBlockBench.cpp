// Microbenchmarks of what the intake does per payload, apart from the queue and the threads: a
// reference block made with its copy and freed again, straight from the allocator and through the
// pool of recycled blocks, beside a bare copy of the same bytes. The differences are what the
// allocator and the pool cost at each size.
#include <benchmark/benchmark.h>

#include <cstring>
#include <vector>

#include "events/RefBlock.h"
#include "events/RefBlockPool.h"

namespace {

void payloadSizes(benchmark::internal::Benchmark* bench) {
  for (const int64_t bytes : {0, 1024, 64 * 1024, 256 * 1024}) bench->Arg(bytes);
}

void BM_RefBlockMadeAndFreed(benchmark::State& state) {
  const std::vector<char> payload(static_cast<size_t>(state.range(0)) + 1, 'p');
  for (auto _ : state) {
    void* data = kv::core::allocateRefBlock(payload.data(), static_cast<uint32_t>(state.range(0)));
    benchmark::DoNotOptimize(data);
    kv::core::freeRefBlock(data);
  }
  state.SetBytesProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_RefBlockMadeAndFreed)->Apply(payloadSizes);

void BM_RefBlockFromThePool(benchmark::State& state) {
  const std::vector<char> payload(static_cast<size_t>(state.range(0)) + 1, 'p');
  kv::core::RefBlockPool pool;
  for (auto _ : state) {
    void* data = pool.allocate(payload.data(), static_cast<uint32_t>(state.range(0)));
    benchmark::DoNotOptimize(data);
    pool.recycle(data);
  }
  state.SetBytesProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_RefBlockFromThePool)->Apply(payloadSizes);

void BM_CopyHot(benchmark::State& state) {
  const std::vector<char> from(static_cast<size_t>(state.range(0)) + 1, 'p');
  std::vector<char> to(from.size());
  for (auto _ : state) {
    std::memcpy(to.data(), from.data(), static_cast<size_t>(state.range(0)));
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_CopyHot)->Apply(payloadSizes);

}  // namespace

BENCHMARK_MAIN();
