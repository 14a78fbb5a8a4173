// Channel permute against memcpy of the same bytes, scale() against libyuv's own bilinear
// scaler at the sizes the camera fits pictures to, and the YUY2 conversion against libyuv's own
// call on the same picture.
#include <benchmark/benchmark.h>
#include <libyuv/convert_from_argb.h>
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

// A camera frame into a watcher's YUY2 buffer (rows without padding), through our call and
// through libyuv's directly. Argument: how many pictures take turns, 1 (the same picture, in the
// cache) or 8 (64 MB, so each comes from memory, as a camera's does).
std::vector<AlignedImage> pictures1080p(int64_t count) {
  std::vector<AlignedImage> pictures;
  for (int64_t i = 0; i < count; ++i) pictures.emplace_back(1920, 1080);
  return pictures;
}

void BM_ConvertToYuy21080p(benchmark::State& state) {
  const std::vector<AlignedImage> sources = pictures1080p(state.range(0));
  std::vector<uint8_t> yuy2(std::size_t(1920) * 2 * 1080);
  std::size_t turn = 0;
  for (auto _ : state) {
    auto error = platform::imaging::convertToYuy2(sources[turn++ % sources.size()].constView(),
                                                  {yuy2.data(), 1080, 1920, 1920 * 2});
    benchmark::DoNotOptimize(error);
    benchmark::ClobberMemory();
  }
}
BENCHMARK(BM_ConvertToYuy21080p)->Arg(1)->Arg(8)->Unit(benchmark::kMillisecond);

void BM_LibyuvARGBToYUY21080p(benchmark::State& state) {
  const std::vector<AlignedImage> sources = pictures1080p(state.range(0));
  std::vector<uint8_t> yuy2(std::size_t(1920) * 2 * 1080);
  std::size_t turn = 0;
  for (auto _ : state) {
    const AlignedImage& source = sources[turn++ % sources.size()];
    int result = libyuv::ARGBToYUY2(source.storage.get(), static_cast<int>(source.bytesPerRow),
                                    yuy2.data(), 1920 * 2, 1920, 1080);
    benchmark::DoNotOptimize(result);
    benchmark::ClobberMemory();
  }
}
BENCHMARK(BM_LibyuvARGBToYUY21080p)->Arg(1)->Arg(8)->Unit(benchmark::kMillisecond);

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
