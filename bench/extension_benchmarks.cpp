// The frame factory's costs per call and one whole frame tick of the camera, with libyuv's raw
// bilinear scale of the same sizes as the yardstick for fitting.
#include <benchmark/benchmark.h>
#include <libyuv/scale_argb.h>

#include <cstring>
#include <memory>
#include <set>

#include "extension/frame_factory.h"
#include "extension/provider_source.h"
#include "extension/video_format.h"
#include "platform/camera/extension_objects.h"
#include "platform/camera/hardware.h"
#include "platform/dispatch/clock.h"
#include "platform/imaging/pixel_ops.h"
#include "platform/media/format_description.h"
#include "tests/platform/camera/in_process/in_process_host.h"

namespace {

using platform::media::BaseAddressLock;
using platform::media::PixelBuffer;
using platform::media::PixelBufferRef;
using quillane::FrameFactory;

PixelBufferRef patterned(int width, int height) {
  auto buffer = PixelBuffer::create(width, height, platform::media::kPixelFormat32BGRA);
  BaseAddressLock pixels(*buffer, PixelBuffer::LockFlags::ReadWrite);
  for (std::size_t i = 0; i < buffer->dataSize(); ++i) pixels.data()[i] = uint8_t(i * 7);
  return buffer;
}

// Fitting a frame of another size into format 0 (1920 × 1080).
void BM_ConformFit(benchmark::State& state) {
  FrameFactory factory;
  auto source = patterned(int(state.range(0)), int(state.range(1)));
  for (auto _ : state) benchmark::DoNotOptimize(factory.conform(source, 0));
}
BENCHMARK(BM_ConformFit)->Args({1280, 720})->Args({1280, 1024})->Unit(benchmark::kMicrosecond);

// Scales a patterned source of range(0) × range(1) into the centred range(2) × range(3)
// rectangle of a 1920 × 1080 buffer with `scaleInto`, once per iteration.
template <typename ScaleInto>
void scaleIntoFittedRectangle(benchmark::State& state, ScaleInto scaleInto) {
  const int sw = int(state.range(0)), sh = int(state.range(1));
  const int fw = int(state.range(2)), fh = int(state.range(3));
  auto source = patterned(sw, sh);
  auto target = patterned(1920, 1080);
  BaseAddressLock from(*source, PixelBuffer::LockFlags::ReadOnly);
  BaseAddressLock into(*target, PixelBuffer::LockFlags::ReadWrite);
  const std::size_t stride = target->bytesPerRow();
  uint8_t* origin = into.data() + (1080 - fh) / 2 * stride + (1920 - fw) / 2 * 4;
  for (auto _ : state) {
    scaleInto(platform::imaging::ConstImageView{from.data(), sh, sw, source->bytesPerRow()},
              platform::imaging::ImageView{origin, fh, fw, stride});
    benchmark::ClobberMemory();
  }
}

// libyuv's bilinear scale alone, into the same fitted rectangle: the yardstick for fitting.
void BM_LibyuvScaleSameSizes(benchmark::State& state) {
  scaleIntoFittedRectangle(state, [](const auto& from, const auto& into) {
    libyuv::ARGBScale(from.data, int(from.bytesPerRow), from.width, from.height, into.data,
                      int(into.bytesPerRow), into.width, into.height, libyuv::kFilterBilinear);
  });
}
BENCHMARK(BM_LibyuvScaleSameSizes)
    ->Args({1280, 720, 1920, 1080})
    ->Args({1280, 1024, 1350, 1080})
    ->Unit(benchmark::kMicrosecond);

// The platform scaler the factory calls, into the same rectangle: the factory's own overhead is
// the difference to BM_ConformFit.
void BM_PlatformScaleSameSizes(benchmark::State& state) {
  scaleIntoFittedRectangle(
      state, [](const auto& from, const auto& into) { platform::imaging::scale(from, into); });
}
BENCHMARK(BM_PlatformScaleSameSizes)
    ->Args({1280, 720, 1920, 1080})
    ->Args({1280, 1024, 1350, 1080})
    ->Unit(benchmark::kMicrosecond);

void BM_PlaceholderCached(benchmark::State& state) {
  FrameFactory factory;
  factory.placeholder(0);
  for (auto _ : state) benchmark::DoNotOptimize(factory.placeholder(0));
}
BENCHMARK(BM_PlaceholderCached);

void BM_ConformPassThrough(benchmark::State& state) {
  FrameFactory factory;
  auto source = patterned(1920, 1080);
  for (auto _ : state) benchmark::DoNotOptimize(factory.conform(source, 0));
}
BENCHMARK(BM_ConformPassThrough);

// Pooled buffers are recycled: after warm-up, fitting makes no new buffer per frame.
void BM_PoolSteadyState(benchmark::State& state) {
  FrameFactory factory;
  auto source = patterned(1280, 720);
  for (int i = 0; i < 8; ++i) factory.conform(source, 0);
  std::set<const PixelBuffer*> distinct;
  for (auto _ : state) {
    auto fitted = factory.conform(source, 0);
    distinct.insert(fitted.get());
  }
  state.counters["distinct_buffers"] = double(distinct.size());
}
BENCHMARK(BM_PoolSteadyState)->Unit(benchmark::kMicrosecond);

// One frame tick of the published camera, driven by a ManualClock, with one watcher taking
// every frame: placeholder (no producer), pass-through (1920 × 1080 sink frame), fit (1280 × 720).
void BM_FrameTick(benchmark::State& state) {
  namespace camera = platform::camera;
  auto clock = std::make_shared<platform::dispatch::ManualClock>();
  camera::InProcessCameraHost host(clock);
  quillane::ProviderSource provider(clock);
  host.startService(provider.provider());
  quillane::DeviceSource& device = provider.deviceSource();

  auto watcher = host.connect();
  auto producer = host.connect();
  auto ids = [](camera::HardwareClient& client, camera::ObjectID object, uint32_t selector) {
    return std::get<std::vector<camera::ObjectID>>(client.readProperty(object, {selector}).value);
  };
  camera::ObjectID deviceID = ids(*watcher, camera::kSystemObject, camera::selector::kDevices)[0];
  auto streams = ids(*watcher, deviceID, camera::selector::kStreams);
  platform::media::SimpleQueueRef frames, sink;
  watcher->copyBufferQueue(streams[0], nullptr, &frames);
  watcher->startStream(deviceID, streams[0]);

  // Pushes the producer's frame and waits until the camera holds it.
  PixelBufferRef picture;
  auto push = [&] {
    sink->enqueue(platform::media::SampleBuffer::createForImageBuffer(
        picture, true, platform::media::FormatDescription::createForImageBuffer(*picture),
        {quillane::VideoFormat::frameDuration, platform::media::MediaTime::fromNanos(1),
         platform::media::MediaTime::invalid()}));
    while (sink->count() > 0) {
    }
    device.queue().sync([] {});
  };
  if (state.range(0) > 0) {
    producer->copyBufferQueue(streams[1], nullptr, &sink);
    producer->startStream(deviceID, streams[1]);
    picture = patterned(int(state.range(0)), int(state.range(1)));
    push();
  }
  device.queue().sync([] {});
  while (frames->dequeue()) {
  }

  int ticks = 0;
  for (auto _ : state) {
    clock->advance(33'333'333);
    device.queue().sync([] {});
    benchmark::DoNotOptimize(frames->dequeue());
    // A frame stays fresh for 1.5 s of the clock: push it again every second.
    if (picture && ++ticks % 30 == 0) {
      state.PauseTiming();
      push();
      state.ResumeTiming();
    }
  }
  watcher->disconnect();
  producer->disconnect();
  host.stopService(provider.provider());
  device.queue().sync([] {});
}
BENCHMARK(BM_FrameTick)
    ->ArgNames({"w", "h"})
    ->Args({0, 0})
    ->Args({1920, 1080})
    ->Args({1280, 720})
    ->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
