#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <thread>
#include <vector>

#include "extension/camera_ids.h"
#include "extension/provider_source.h"
#include "extension/video_format.h"
#include "platform/camera/extension_objects.h"
#include "platform/camera/hardware.h"
#include "platform/dispatch/clock.h"
#include "platform/faults/fault_injection.h"
#include "platform/media/format_description.h"
#include "platform/media/sample_buffer.h"
#include "tests/platform/camera/in_process/in_process_host.h"

namespace quillane::test {

using platform::camera::HardwareClient;
using platform::camera::ObjectID;
namespace selector = platform::camera::selector;
using platform::media::SampleBufferRef;
using platform::media::SimpleQueueRef;

constexpr uint64_t kTick = 33'333'333;  // the frame clock's interval in nanoseconds

// Waits until `condition` holds, for at most 5 s; false when it never did.
inline bool waitFor(const std::function<bool()>& condition) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

// A sample buffer wrapping `picture`, as a producer would enqueue it.
inline SampleBufferRef sampleOf(platform::media::PixelBufferRef picture) {
  auto description = platform::media::FormatDescription::createForImageBuffer(*picture);
  return platform::media::SampleBuffer::createForImageBuffer(
      std::move(picture), true, std::move(description),
      {VideoFormat::frameDuration, platform::media::MediaTime::fromNanos(1),
       platform::media::MediaTime::invalid()});
}

// The published camera with the 30 fps clock on a ManualClock, seen through the clients'
// interface of the in-process host: watchers read the output stream, a producer feeds the sink.
class CameraTest : public ::testing::Test {
 protected:
  void SetUp() override {
    VideoFormat::all();
    clock = std::make_shared<platform::dispatch::ManualClock>();
    host = std::make_unique<platform::camera::InProcessCameraHost>(clock);
    provider = std::make_unique<ProviderSource>(clock);
    host->startService(provider->provider());
    producer = host->connect();
    findCamera(*producer);
  }

  void TearDown() override {
    for (auto& client : clients) client->disconnect();
    producer->disconnect();
    host->stopService(provider->provider());
    settle();
    provider.reset();
    platform::faults::reset();
  }

  DeviceSource& device() { return provider->deviceSource(); }

  // Lets the frame queue and the host finish what is already submitted to them.
  void settle() {
    host->flush();
    device().queue().sync([] {});
    device().queue().sync([] {});
    host->flush();
  }

  // Moves the clock by `nanos` and lets every tick that became due run.
  void advance(uint64_t nanos) {
    clock->advance(nanos);
    settle();
  }

  void findCamera(HardwareClient& client) {
    std::vector<ObjectID> devices =
        readIDs(client, platform::camera::kSystemObject, selector::kDevices);
    ASSERT_EQ(devices.size(), 1u);
    deviceID = devices[0];
    std::vector<ObjectID> streams = readIDs(client, deviceID, selector::kStreams);
    ASSERT_EQ(streams.size(), 2u);
    outputID = streams[0];
    sinkID = streams[1];
  }

  static std::vector<ObjectID> readIDs(HardwareClient& client, ObjectID object, uint32_t sel) {
    platform::camera::PropertyResult read = client.readProperty(object, {sel});
    EXPECT_EQ(read.status, platform::camera::status::kNoError);
    auto* ids = std::get_if<std::vector<ObjectID>>(&read.value);
    return ids != nullptr ? *ids : std::vector<ObjectID>{};
  }

  // A new application that starts watching the output stream; returns its frame queue.
  SimpleQueueRef startWatching() {
    clients.push_back(host->connect());
    SimpleQueueRef queue;
    EXPECT_EQ(clients.back()->copyBufferQueue(outputID, nullptr, &queue), 0);
    EXPECT_EQ(clients.back()->startStream(deviceID, outputID), 0);
    settle();
    return queue;
  }

  // The producer's sink queue, with the sink stream started.
  SimpleQueueRef startProducing() {
    SimpleQueueRef queue;
    EXPECT_EQ(producer->copyBufferQueue(sinkID, nullptr, &queue), 0);
    EXPECT_EQ(producer->startStream(deviceID, sinkID), 0);
    settle();
    return queue;
  }

  // Enqueues a frame into the sink and waits until the extension has confirmed and stored it.
  void push(const SimpleQueueRef& sinkQueue, platform::media::PixelBufferRef picture) {
    const uint64_t previous = confirmedSequence();
    ASSERT_EQ(sinkQueue->enqueue(sampleOf(std::move(picture))), platform::media::kStatusOK);
    ASSERT_TRUE(waitFor([&] { return confirmedSequence() > previous; }));
    settle();  // the store was enqueued on the frame queue before the confirmation
  }

  uint64_t confirmedSequence() {
    auto confirmed = host->lastScheduledOutput(sinkID);
    return confirmed ? confirmed->sequenceNumber : 0;
  }

  // Everything the watcher's queue holds now, oldest first.
  static std::vector<SampleBufferRef> take(const SimpleQueueRef& queue) {
    std::vector<SampleBufferRef> frames;
    while (auto frame = queue->dequeue()) frames.push_back(std::move(frame));
    return frames;
  }

  std::shared_ptr<platform::dispatch::ManualClock> clock;
  std::unique_ptr<platform::camera::InProcessCameraHost> host;
  std::unique_ptr<ProviderSource> provider;
  std::shared_ptr<HardwareClient> producer;
  std::vector<std::shared_ptr<HardwareClient>> clients;
  ObjectID deviceID = 0, outputID = 0, sinkID = 0;
};

}  // namespace quillane::test
