// Channel permute against memcpy of the same bytes, and scale() against libyuv's own bilinear
// scaler at the sizes the camera fits pictures to.
#include <benchmark/benchmark.h>
#include <libyuv/scale_argb.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "platform/imaging/pixel_ops.h"

namespace {

using platform::imaging::ConstImageView;
using platform::imaging::ImageView;

constexpr std::size_t kRowAlignment = 64;

// Four-channel pixels whose rows start on 64-byte boundaries, like pooled pixel buffers.
struct AlignedImage {
  AlignedImage(int w, int h)
      : width(w),
        height(h),
        bytesPerRow((w * 4 + kRowAlignment - 1) / kRowAlignment * kRowAlignment),
        storage(static_cast<uint8_t*>(std::aligned_alloc(kRowAlignment, bytesPerRow * h)),
                &std::free) {
    for (std::size_t i = 0; i < bytesPerRow * h; ++i)
      storage.get()[i] = static_cast<uint8_t>(i * 7);
  }
  ImageView view() { return {storage.get(), height, width, bytesPerRow}; }
  ConstImageView constView() const { return {storage.get(), height, width, bytesPerRow}; }

  int width, height;
  std::size_t bytesPerRow;
  std::unique_ptr<uint8_t, decltype(&std::free)> storage;
};

// A producer frame: tightly packed RGBA rows.
std::vector<uint8_t> packedFrame(int w, int h) {
  std::vector<uint8_t> frame(static_cast<std::size_t>(w) * h * 4);
  for (std::size_t i = 0; i < frame.size(); ++i) frame[i] = static_cast<uint8_t>(i * 13);
  return frame;
}

void BM_PermuteRgbaToBgra1080p(benchmark::State& state) {
  std::vector<uint8_t> frame = packedFrame(1920, 1080);
  AlignedImage destination(1920, 1080);
  ConstImageView source{frame.data(), 1080, 1920, 1920 * 4};
  for (auto _ : state) {
    auto error = platform::imaging::permuteChannels(source, destination.view(), {2, 1, 0, 3});
    benchmark::DoNotOptimize(error);
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(state.iterations() * frame.size());
}
BENCHMARK(BM_PermuteRgbaToBgra1080p);

void BM_MemcpySameBytes1080p(benchmark::State& state) {
  std::vector<uint8_t> frame = packedFrame(1920, 1080);
  AlignedImage destination(1920, 1080);
  for (auto _ : state) {
    std::memcpy(destination.storage.get(), frame.data(), frame.size());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(state.iterations() * frame.size());
}
BENCHMARK(BM_MemcpySameBytes1080p);

// Arguments: source width, source height, destination width, destination height.
void BM_Scale(benchmark::State& state) {
  AlignedImage source(state.range(0), state.range(1));
  AlignedImage destination(state.range(2), state.range(3));
  for (auto _ : state) {
    auto error = platform::imaging::scale(source.constView(), destination.view());
    benchmark::DoNotOptimize(error);
    benchmark::ClobberMemory();
  }
}

void BM_LibyuvBilinear(benchmark::State& state) {
  AlignedImage source(state.range(0), state.range(1));
  AlignedImage destination(state.range(2), state.range(3));
  for (auto _ : state) {
    int result = libyuv::ARGBScale(source.storage.get(), static_cast<int>(source.bytesPerRow),
                                   source.width, source.height, destination.storage.get(),
                                   static_cast<int>(destination.bytesPerRow), destination.width,
                                   destination.height, libyuv::kFilterBilinear);
    benchmark::DoNotOptimize(result);
    benchmark::ClobberMemory();
  }
}

#define SCALE_SIZES                    \
  Args({1280, 720, 1920, 1080})        \
      ->Args({1280, 1024, 1350, 1080}) \
      ->Args({1920, 1080, 1280, 720})  \
      ->Args({1920, 1080, 640, 360})   \
      ->Unit(benchmark::kMillisecond)

BENCHMARK(BM_Scale)->SCALE_SIZES;
BENCHMARK(BM_LibyuvBilinear)->SCALE_SIZES;

}  // namespace

BENCHMARK_MAIN();
