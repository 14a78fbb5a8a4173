// CPU time of the camera at 30 ticks per second on the host clock, for 10 s per run, with 1
// and 8 watchers, showing the placeholder or passing a producer's 1920 × 1080 frames through.
// "frame queue" is the extension's own tick work (getrusage of the frame queue's thread);
// "process" adds the in-process host, the watchers and the producer.
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <thread>
#include <vector>

#include "extension/provider_source.h"
#include "extension/video_format.h"
#include "platform/camera/extension_objects.h"
#include "platform/camera/hardware.h"
#include "platform/dispatch/clock.h"
#include "platform/media/format_description.h"
#include "tests/platform/camera/in_process/in_process_host.h"

namespace {

namespace camera = platform::camera;
using platform::media::PixelBuffer;

double seconds(const timeval& t) {
  return double(t.tv_sec) + double(t.tv_usec) / 1e6;
}

double cpuSeconds(int who) {
  rusage usage{};
  getrusage(who, &usage);
  return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

std::vector<camera::ObjectID> ids(camera::HardwareClient& client, camera::ObjectID object,
                                  uint32_t selector) {
  return std::get<std::vector<camera::ObjectID>>(client.readProperty(object, {selector}).value);
}

void run(camera::CameraHost& host, quillane::ProviderSource& provider, int watcherCount,
         bool passThrough) {
  constexpr auto kRunTime = std::chrono::seconds(10);
  quillane::DeviceSource& device = provider.deviceSource();
  auto producer = host.connect();
  camera::ObjectID deviceID = ids(*producer, camera::kSystemObject, camera::selector::kDevices)[0];
  auto streams = ids(*producer, deviceID, camera::selector::kStreams);

  std::vector<std::shared_ptr<camera::HardwareClient>> watchers;
  std::vector<platform::media::SimpleQueueRef> queues(watcherCount);
  for (int i = 0; i < watcherCount; ++i) {
    watchers.push_back(host.connect());
    watchers.back()->copyBufferQueue(streams[0], nullptr, &queues[i]);
    watchers.back()->startStream(deviceID, streams[0]);
  }
  platform::media::SimpleQueueRef sink;
  if (passThrough) {
    producer->copyBufferQueue(streams[1], nullptr, &sink);
    producer->startStream(deviceID, streams[1]);
  }
  auto picture = PixelBuffer::create(1920, 1080, platform::media::kPixelFormat32BGRA);
  auto description = platform::media::FormatDescription::createForImageBuffer(*picture);

  double queueBefore = 0, queueAfter = 0;
  device.queue().sync([&] { queueBefore = cpuSeconds(RUSAGE_THREAD); });
  const double processBefore = cpuSeconds(RUSAGE_SELF);
  const auto start = std::chrono::steady_clock::now();
  auto next = start;
  long received = 0;
  while (std::chrono::steady_clock::now() - start < kRunTime) {
    next += std::chrono::microseconds(33'333);
    std::this_thread::sleep_until(next);
    if (sink) {
      sink->enqueue(platform::media::SampleBuffer::createForImageBuffer(
          picture, true, description,
          {quillane::VideoFormat::frameDuration,
           platform::media::MediaTime::fromNanos(platform::dispatch::hostClock()->nowNanos()),
           platform::media::MediaTime::invalid()}));
    }
    for (auto& queue : queues) {
      while (queue->dequeue()) ++received;
    }
  }
  const double wall =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  const double process = cpuSeconds(RUSAGE_SELF) - processBefore;
  device.queue().sync([&] { queueAfter = cpuSeconds(RUSAGE_THREAD); });
  std::printf(
      "%-12s watchers=%d  frames/s per watcher=%.1f  frame queue CPU=%.3f%% of a core"
      "  process CPU=%.3f%%\n",
      passThrough ? "pass-through" : "placeholder", watcherCount,
      double(received) / watcherCount / wall, 100 * (queueAfter - queueBefore) / wall,
      100 * process / wall);
  for (auto& watcher : watchers) watcher->disconnect();
  producer->disconnect();
}

}  // namespace

int main() {
  camera::InProcessCameraHost host;
  quillane::ProviderSource provider;
  host.startService(provider.provider());
  for (bool passThrough : {false, true}) {
    for (int watchers : {1, 8}) run(host, provider, watchers, passThrough);
  }
  host.stopService(provider.provider());
  provider.deviceSource().queue().sync([] {});
  return 0;
}
