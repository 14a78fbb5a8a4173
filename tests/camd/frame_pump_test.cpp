#include "camd/frame_pump.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "platform/dispatch/clock.h"
#include "platform/media/pixel_buffer.h"
#include "tests/camd/fake_camera.h"
#include "tests/camd/frame_stream.h"
#include "tests/camd/report_capture.h"
#include "tests/platform/camera/in_process/in_process_host.h"

namespace camd {
namespace {

namespace camera = platform::camera;
using nlohmann::json;
using testing::FakeCamera;
using testing::frame;

constexpr uint64_t kHeartbeat = 500'000'000;
constexpr uint64_t kThrottle = 2'000'000'000;

json statusLine(bool device, bool streaming, int64_t frames) {
  return {{"ok", true}, {"device", device}, {"streaming", streaming}, {"frames", frames}};
}

// A client whose stream starts, once held, wait until released, as with a camera that is listed
// but does not link; a held start gives up after 5 s, so a pump that waits for it fails its test
// instead of hanging it. Thread-safe.
class SlowLinkClient : public camera::HardwareClient {
 public:
  explicit SlowLinkClient(std::shared_ptr<HardwareClient> inner) : inner_(std::move(inner)) {}

  camera::PropertyResult readProperty(camera::ObjectID object,
                                      const camera::PropertyAddress& address) override {
    return inner_->readProperty(object, address);
  }
  camera::Status writeProperty(camera::ObjectID object, const camera::PropertyAddress& address,
                               const camera::PropertyValue& value) override {
    return inner_->writeProperty(object, address, value);
  }
  camera::Status copyBufferQueue(camera::ObjectID stream, std::function<void()> queueAltered,
                                 platform::media::SimpleQueueRef* queue) override {
    return inner_->copyBufferQueue(stream, std::move(queueAltered), queue);
  }
  platform::media::PixelBufferRef pictureToFill(camera::ObjectID stream, int width,
                                                int height) override {
    if (refusePictures) return nullptr;
    return inner_->pictureToFill(stream, width, height);
  }
  camera::Status startStream(camera::ObjectID device, camera::ObjectID stream) override {
    {
      std::unique_lock lock(mutex_);
      ++starts_;
      changed_.notify_all();
      if (!changed_.wait_for(lock, std::chrono::seconds(5), [&] { return !holding_; })) {
        return camera::status::kIllegalOperation;
      }
    }
    return inner_->startStream(device, stream);
  }
  camera::Status stopStream(camera::ObjectID device, camera::ObjectID stream) override {
    return inner_->stopStream(device, stream);
  }
  void disconnect() override { inner_->disconnect(); }

  void hold() {
    std::lock_guard lock(mutex_);
    holding_ = true;
  }
  void release() {
    std::lock_guard lock(mutex_);
    holding_ = false;
    changed_.notify_all();
  }
  // As when the camera holds every buffer of the link, or the link is gone.
  std::atomic<bool> refusePictures{false};

  int starts() {
    std::lock_guard lock(mutex_);
    return starts_;
  }
  // Waits up to 5 s until `count` starts came in.
  bool waitForStarts(int count) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, std::chrono::seconds(5), [&] { return starts_ >= count; });
  }

 private:
  const std::shared_ptr<HardwareClient> inner_;
  std::mutex mutex_;
  std::condition_variable changed_;
  bool holding_ = false;  // guarded by mutex_
  int starts_ = 0;        // guarded by mutex_
};

// Drives a pump step by step on the test's thread, with a manual clock for the heartbeat and
// the attach throttle.
class FramePumpTest : public ::testing::Test {
 protected:
  void start() {
    pump_.start();
    // The first status line is written before start() returns, however soon the input ends.
    ASSERT_EQ(capture_.outputLines().size(), 1u);
  }

  // Writes one frame and lets the pump handle it; an attach try it starts may still run.
  void pumpFrameOnly(const std::string& bytes = frame(4, 2)) {
    testing::writeAll(input_, bytes);
    ASSERT_TRUE(pump_.pumpFrame());
  }

  // The same, then waits for the attach try it started, if any.
  void pumpFrame(const std::string& bytes = frame(4, 2)) {
    pumpFrameOnly(bytes);
    pump_.awaitAttachTry();
  }

  // Moves the clock on by `nanos` and returns the heartbeat line it caused.
  json heartbeatAfter(uint64_t nanos = kHeartbeat) {
    const std::size_t seen = capture_.outputLines().size();
    clock_->advance(nanos);
    EXPECT_TRUE(capture_.waitForOutputLines(seen + 1));
    return capture_.reports().back();
  }

  // Ends the input and returns the pump's exit status.
  int32_t finish() {
    input_.writer.reset();
    EXPECT_FALSE(pump_.pumpFrame());
    return pump_.finish();
  }

  testing::ReportCapture capture_;
  std::shared_ptr<platform::dispatch::ManualClock> clock_ =
      std::make_shared<platform::dispatch::ManualClock>();
  camera::InProcessCameraHost host_;
  std::shared_ptr<SlowLinkClient> client_ = std::make_shared<SlowLinkClient>(host_.connect());
  testing::Pipe input_;
  FramePump pump_{client_, input_.reader.get(), clock_};
};

// The heartbeat's period is half a second: not a moment less.
TEST_F(FramePumpTest, HeartbeatComesEveryHalfSecond) {
  start();
  clock_->advance(kHeartbeat - 1);
  pumpFrame();  // the pump's status queue has run what was due
  EXPECT_EQ(capture_.outputLines().size(), 1u);
  EXPECT_EQ(heartbeatAfter(1), statusLine(false, false, 0));
  clock_->advance(kHeartbeat - 1);
  pumpFrame();
  EXPECT_EQ(capture_.outputLines().size(), 2u);
  EXPECT_EQ(heartbeatAfter(1), statusLine(false, false, 0));
}

TEST_F(FramePumpTest, WithoutACameraReadsAndDropsFramesAndEndsCleanly) {
  start();
  for (int i = 0; i < 3; ++i) pumpFrame();
  EXPECT_EQ(heartbeatAfter(), statusLine(false, false, 0));
  EXPECT_EQ(finish(), 0);
  EXPECT_EQ(capture_.reports().front(), statusLine(false, false, 0));
  EXPECT_EQ(capture_.reports().back(), statusLine(false, false, 0));
  EXPECT_TRUE(capture_.errorLines().empty());
}

TEST_F(FramePumpTest, AttachesAtStartAndEnqueuesConvertedFramesOfEachSize) {
  FakeCamera camera(host_);
  camera.publish();
  start();
  EXPECT_EQ(capture_.reports().front(), statusLine(true, true, 0));
  const uint8_t rgba[] = {10, 20, 30, 40};
  pumpFrame(testing::frameHeader(1, 1, 4) + std::string(reinterpret_cast<const char*>(rgba), 4));
  pumpFrame(frame(8, 6));
  pumpFrame(frame(1, 1));
  ASSERT_TRUE(camera.waitForTaken(3));
  EXPECT_EQ(heartbeatAfter(), statusLine(true, true, 3));

  std::vector<int> widths;
  for (const auto& sample : camera.taken()) widths.push_back(sample->imageBuffer()->width());
  EXPECT_EQ(widths, (std::vector<int>{1, 8, 1}));
  platform::media::PixelBuffer& first = *camera.taken()[0]->imageBuffer();
  platform::media::BaseAddressLock lock(first, platform::media::PixelBuffer::LockFlags::ReadOnly);
  EXPECT_EQ(std::vector<uint8_t>(lock.data(), lock.data() + 4),
            (std::vector<uint8_t>{30, 20, 10, 40}));

  EXPECT_EQ(finish(), 0);
  EXPECT_EQ(capture_.reports().back(), statusLine(true, false, 3));
  EXPECT_EQ(camera.sinkStarts(), 1);
  EXPECT_EQ(camera.sinkStops(), 1);
  EXPECT_TRUE(capture_.errorLines().empty());
}

// The throttle runs on the pump's clock, a monotonic one: no wall-clock time passes here.
TEST_F(FramePumpTest, CameraAppearingIsAttachedOnTheFirstFrameMoreThanTwoSecondsAfterTheLastTry) {
  FakeCamera camera(host_);
  start();
  pumpFrame();  // the first frame always tries, and finds nothing
  camera.publish();
  pumpFrame();
  EXPECT_EQ(heartbeatAfter(kThrottle), statusLine(true, false, 0));
  pumpFrame();  // exactly 2 s after the try: not yet
  EXPECT_EQ(camera.sinkStarts(), 0);
  clock_->advance(1);
  pumpFrame();  // tries, and is dropped while the try runs
  EXPECT_EQ(camera.sinkStarts(), 1);
  pumpFrame();
  pumpFrame();
  ASSERT_TRUE(camera.waitForTaken(2));
  EXPECT_EQ(heartbeatAfter(), statusLine(true, true, 2));
  EXPECT_EQ(finish(), 0);
}

TEST_F(FramePumpTest, VanishedCameraIsDetachedByTheHeartbeatAndReattachedOnALaterFrame) {
  FakeCamera camera(host_);
  camera.publish();
  start();
  pumpFrame();
  camera.withdraw();
  EXPECT_EQ(heartbeatAfter(), statusLine(false, false, 1));
  EXPECT_EQ(capture_.errorLines(),
            std::vector<std::string>{"camera device disappeared; detaching"});

  pumpFrame();  // dropped: tries at once, nothing there
  camera.publish();
  pumpFrame();  // dropped: tried less than 2 s ago
  EXPECT_EQ(heartbeatAfter(), statusLine(true, false, 1));
  clock_->advance(kThrottle);
  pumpFrame();  // tries
  pumpFrame();
  ASSERT_TRUE(camera.waitForTaken(2));
  EXPECT_EQ(heartbeatAfter(), statusLine(true, true, 2));
  EXPECT_EQ(finish(), 0);
}

TEST_F(FramePumpTest, DeviceBackUnderAnotherObjectIDCountsAsDisappeared) {
  FakeCamera camera(host_);
  camera.publish();
  start();
  camera.withdraw();
  camera.publish();  // new object IDs
  EXPECT_EQ(heartbeatAfter(), statusLine(true, false, 0));
  EXPECT_EQ(capture_.errorLines(),
            std::vector<std::string>{"camera device disappeared; detaching"});
  pumpFrame();  // tries
  pumpFrame();
  ASSERT_TRUE(camera.waitForTaken(1));
  EXPECT_EQ(heartbeatAfter(), statusLine(true, true, 1));
}

TEST_F(FramePumpTest, FullSinkQueueDropsTheNewestFramesSilently) {
  FakeCamera camera(host_, FakeCamera::Options{.takesBuffers = false});
  camera.publish();
  start();
  for (int i = 0; i < 7; ++i) pumpFrame();
  EXPECT_EQ(heartbeatAfter(), statusLine(true, true, 4));
  EXPECT_TRUE(capture_.errorLines().empty());
}

TEST_F(FramePumpTest, FrameWithoutAPictureToFillIsDroppedAndTheNextOneGoes) {
  FakeCamera camera(host_);
  camera.publish();
  start();
  client_->refusePictures = true;
  pumpFrame();
  pumpFrame();
  client_->refusePictures = false;
  pumpFrame();
  ASSERT_TRUE(camera.waitForTaken(1));
  EXPECT_EQ(heartbeatAfter(), statusLine(true, true, 1));
  EXPECT_TRUE(capture_.errorLines().empty());
}

TEST_F(FramePumpTest, MalformedStreamEndsTheRunWithItsFailure) {
  FakeCamera camera(host_);
  camera.publish();
  start();
  pumpFrame();
  testing::writeAll(input_, testing::frameHeader(2, 2, 17));
  EXPECT_FALSE(pump_.pumpFrame());
  EXPECT_EQ(pump_.finish(), 1);
  json expected = statusLine(true, false, 1);
  expected["ok"] = false;
  expected["message"] = "bad frame header 2x2 len=17";
  EXPECT_EQ(capture_.reports().back(), expected);
  EXPECT_EQ(capture_.errorLines(),
            std::vector<std::string>{"bad frame header 2x2 len=17; stopping"});
}

TEST_F(FramePumpTest, RefusedStartLeavesThePumpDetached) {
  FakeCamera camera(host_, FakeCamera::Options{.authorizesClients = false});
  camera.publish();
  start();
  EXPECT_EQ(capture_.reports().front(), statusLine(true, false, 0));
  const std::string refused =
      "CMIODeviceStartStream failed: " + std::to_string(camera::status::kIllegalOperation);
  EXPECT_EQ(capture_.errorLines(), std::vector<std::string>{refused});
  pumpFrame();  // tries again, refused again
  pumpFrame();  // within 2 s: no try
  EXPECT_EQ(capture_.errorLines(), (std::vector<std::string>{refused, refused}));
  EXPECT_EQ(finish(), 0);
}

// A camera that is listed but does not link: while the try waits, frames are read and dropped and
// the heartbeat keeps its beat; the try is never doubled; the end of the run waits for it and
// stops the stream it started.
TEST_F(FramePumpTest, SlowLinkHoldsUpNeitherReadingNorTheHeartbeatAndIsStoppedAtTheEnd) {
  FakeCamera camera(host_);
  start();
  camera.publish();
  client_->hold();
  pumpFrameOnly();  // the first frame tries at once
  ASSERT_TRUE(client_->waitForStarts(1));
  for (int i = 0; i < 5; ++i) {  // 2.5 s on the clock: past the throttle
    pumpFrameOnly();
    EXPECT_EQ(heartbeatAfter(), statusLine(true, false, 0));
  }
  pumpFrameOnly();  // the try is due again, but still in flight

  input_.writer.reset();
  ASSERT_FALSE(pump_.pumpFrame());
  // Let go once the final line is out, or after a while when finish() waits for the try.
  const std::size_t heartbeats = capture_.outputLines().size();
  std::thread linker([&] {
    capture_.waitForOutputLines(heartbeats + 1, std::chrono::milliseconds(300));
    client_->release();
  });
  EXPECT_EQ(pump_.finish(), 0);
  linker.join();
  EXPECT_EQ(client_->starts(), 1);
  EXPECT_EQ(capture_.reports().back(), statusLine(true, false, 0));
  EXPECT_EQ(camera.sinkStarts(), 1);
  EXPECT_EQ(camera.sinkStops(), 1);
  EXPECT_TRUE(capture_.errorLines().empty());
}

}  // namespace
}  // namespace camd
