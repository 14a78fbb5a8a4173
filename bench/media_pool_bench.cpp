#include <benchmark/benchmark.h>

#include <array>
#include <cstddef>

#include "platform/media/pixel_buffer_pool.h"

namespace platform::media {
namespace {

constexpr PixelBufferAttributes kFullHd{kPixelFormat32BGRA, 1920, 1080, true};

void reportAllocations(benchmark::State& state, const PixelBufferPool& pool) {
  state.counters["buffersAllocated"] = static_cast<double>(pool.buffersAllocated());
}

// One take and release per frame, as a producer that converts and hands off each frame does.
// buffersAllocated stays at 1: every take after the first is a recycled buffer.
void BM_PoolTakeRelease(benchmark::State& state) {
  auto pool = PixelBufferPool::create(kFullHd);
  for (auto _ : state) {
    PixelBufferRef buffer = pool->createPixelBuffer();
    benchmark::DoNotOptimize(buffer.get());
  }
  reportAllocations(state, *pool);
}
BENCHMARK(BM_PoolTakeRelease);

// Frames held downstream for a while (a queue of 4 plus the consumer's latest): the pool
// settles at that many buffers plus the one being filled, and allocates nothing after that.
void BM_PoolTakeReleaseWithHeldFrames(benchmark::State& state) {
  auto pool = PixelBufferPool::create(kFullHd);
  std::array<PixelBufferRef, 5> held;
  std::size_t next = 0;
  for (auto _ : state) {
    held[next] = pool->createPixelBuffer();
    benchmark::DoNotOptimize(held[next].get());
    next = (next + 1) % held.size();
  }
  reportAllocations(state, *pool);
}
BENCHMARK(BM_PoolTakeReleaseWithHeldFrames);

// The cost the pool saves: a fresh sealed, mapped buffer per frame.
void BM_CreateWithoutPool(benchmark::State& state) {
  for (auto _ : state) {
    PixelBufferRef buffer = PixelBuffer::create(1920, 1080, kPixelFormat32BGRA);
    benchmark::DoNotOptimize(buffer.get());
  }
}
BENCHMARK(BM_CreateWithoutPool);

}  // namespace
}  // namespace platform::media

BENCHMARK_MAIN();
