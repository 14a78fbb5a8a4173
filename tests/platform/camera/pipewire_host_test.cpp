// What only the PipeWire host does: it says once on standard error what fails and acts on it. A
// link that fails between the camera and a peer that takes none of its formats is dropped, so that
// the stream's source sees its client stop even while the peer holds on to the link; a node that
// the daemon removes is made anew. A buffer a watcher holds is written again only once the camera
// sent it long ago.
#include <gtest/gtest.h>
#include <pipewire/pipewire.h>

#include <atomic>
#include <chrono>
#include <deque>
#include <thread>

#include "platform/camera/pipewire/client/linked_stream.h"
#include "platform/camera/pipewire/publisher/output_node.h"
#include "platform/camera/pipewire/shared/frame_header.h"
#include "platform/dispatch/clock.h"
#include "tests/platform/camera/host_test_support.h"
#include "tests/platform/camera/pipewire_peer.h"

namespace platform::camera::testing {
namespace {

namespace pw = platform::camera::pipewire;

// A watcher's stream that takes BGRA at the size it offers.
pw::VideoStreamSetup bgraWatcher(const char* name) {
  return {.name = name,
          .properties = {{PW_KEY_MEDIA_CLASS, "Stream/Input/Video"}},
          .output = false,
          .flags = PW_STREAM_FLAG_MAP_BUFFERS,
          .buffers = std::nullopt,
          .pixelFormats = {media::kPixelFormat32BGRA},
          .only = {}};
}

// A watcher that takes only a size the camera does not offer.
class MisfitWatcher final : public pw::LinkedStream {
 public:
  using LinkedStream::LinkedStream;

 private:
  pw::VideoStreamSetup setup() const override { return bgraWatcher("misfit-watcher"); }
  void offer(pw::VideoParams& formats) const override {
    formats.addFixedFormat({media::kPixelFormat32BGRA, {64, 64}});
  }
};

// A watcher at 640x480 that keeps each buffer it gets for `hold` before it gives it back, and
// notes each one the camera wrote into again while it held it (its header changed): early, when
// the camera wrote it less than kHeldTooLongNanos after it sent it, or later.
class HoldingWatcher final : public pw::LinkedStream {
 public:
  HoldingWatcher(pw::PipeWireLoop& loop, pw::DaemonConnection& connection,
                 pw::RegistryView& registry, uint32_t output, std::chrono::milliseconds hold)
      : LinkedStream(loop, connection, registry, output, /*output=*/false), hold_(hold) {}
  ~HoldingWatcher() override {
    pw::PipeWireLoop::Lock lock(loop_);
    destroyLocked();
  }

  std::atomic<int> rewrittenEarly{0};
  std::atomic<int> rewrittenLate{0};

 private:
  struct Held {
    pw_buffer* buffer;
    spa_meta_header header;  // as it came
    std::chrono::steady_clock::time_point since;
    bool rewritten = false;
  };

  pw::VideoStreamSetup setup() const override { return bgraWatcher("holding-watcher"); }
  void offer(pw::VideoParams& formats) const override {
    formats.addFixedFormat({media::kPixelFormat32BGRA, {640, 480}});
  }
  // Runs at every frame the camera sends.
  void process(pw::VideoStream& video) override {
    loop_.assertConfined();
    const auto now = std::chrono::steady_clock::now();
    for (Held& held : held_) {
      const spa_meta_header header = headerOf(held.buffer);
      if (held.rewritten || header.seq == held.header.seq) continue;
      held.rewritten = true;
      // The frames' times are when the camera sent them.
      const auto since = static_cast<uint64_t>(header.pts - held.header.pts);
      ++(since <= pw::OutputNode::kHeldTooLongNanos ? rewrittenEarly : rewrittenLate);
    }
    for (; !held_.empty() && now - held_.front().since >= hold_; held_.pop_front()) {
      video.queue(held_.front().buffer);
    }
    while (pw_buffer* buffer = video.dequeue()) {
      held_.push_back({buffer, headerOf(buffer), now});
    }
  }
  void bufferRemoved(pw::VideoStream&, pw_buffer* buffer) override {
    std::erase_if(held_, [&](const Held& held) { return held.buffer == buffer; });
  }
  static spa_meta_header headerOf(pw_buffer* buffer) {
    const spa_meta_header* header = pw::FrameHeader::of(*buffer->buffer);
    return header != nullptr ? *header : spa_meta_header{};
  }

  const std::chrono::milliseconds hold_;
  std::deque<Held> held_;  // loop thread
};

// How often `line` occurs in `text`.
size_t occurrences(const std::string& text, const std::string& line) {
  size_t count = 0;
  for (size_t at = text.find(line); at != std::string::npos; at = text.find(line, at + 1)) ++count;
  return count;
}

// Each test has the fake extension published on a host of its own.
class PipeWireHostTest : public ::testing::Test {
 protected:
  void SetUp() override { extension.publish(); }

  const std::unique_ptr<HostHarness> harness = makeHostHarness();
  FakeExtension extension{harness->host()};
};

TEST_F(PipeWireHostTest, FailedLinkIsSaidOnceAndDroppedSoItsClientStops) {
  PipeWirePeer peer("misfit-peer");
  const uint32_t output = peer.waitForNode("1", fakeDeviceUID());
  ASSERT_NE(output, 0u);

  ::testing::internal::CaptureStderr();
  std::unique_ptr<MisfitWatcher> watcher;
  {
    pw::PipeWireLoop::Lock lock(peer.loop);
    watcher = std::make_unique<MisfitWatcher>(peer.loop, peer.connection, *peer.registry, output,
                                              /*output=*/false);
  }
  const Status started = watcher->start();
  const bool stopped = harness->eventually(
      [&] { return extension.outputSource.starts == 1 && extension.outputSource.stops == 1; });
  harness->settle();
  const std::string said = ::testing::internal::GetCapturedStderr();

  EXPECT_EQ(started, status::kIllegalOperation);
  EXPECT_TRUE(stopped) << "starts " << extension.outputSource.starts << ", stops "
                       << extension.outputSource.stops;
  EXPECT_EQ(occurrences(said, "camera-extension: a link to \"Fake Output\" failed"), 1u) << said;
}

TEST_F(PipeWireHostTest, NodeTheDaemonRemovesIsSaidOnceAndMadeAnew) {
  const std::shared_ptr<HardwareClient> client = harness->host().connect();
  ASSERT_TRUE(harness->eventually([&] { return findFake(*client).output != kObjectUnknown; }));
  const FakeIDs before = findFake(*client);
  PipeWirePeer peer("node-remover");
  const uint32_t output = peer.waitForNode("1", fakeDeviceUID());
  ASSERT_NE(output, 0u);

  ::testing::internal::CaptureStderr();
  {
    pw::PipeWireLoop::Lock lock(peer.loop);
    peer.registry->destroy(output);
  }
  const bool back = harness->eventually([&] {
    const FakeIDs now = findFake(*client);
    return now.output != kObjectUnknown && now.output != before.output;
  });
  const std::string said = ::testing::internal::GetCapturedStderr();

  ASSERT_TRUE(back);
  EXPECT_EQ(occurrences(said, "camera-extension: stream \"Fake Output\" failed"), 1u) << said;
  // The camera made anew streams as before.
  const FakeIDs now = findFake(*client);
  EXPECT_EQ(now.device, before.device);
  ASSERT_EQ(client->startStream(now.device, now.output), status::kNoError);
  EXPECT_TRUE(harness->eventually([&] { return extension.outputSource.starts == 1; }));
}

TEST_F(PipeWireHostTest, HeldBufferIsWrittenAgainOnlyOnceItWasSentLongAgo) {
  PipeWirePeer peer("holding-peers");
  const uint32_t output = peer.waitForNode("1", fakeDeviceUID());
  ASSERT_NE(output, 0u);
  std::unique_ptr<HoldingWatcher> hoarder, reader;
  {
    pw::PipeWireLoop::Lock lock(peer.loop);
    // The hoarder holds every frame longer than the camera takes to go round its buffers, so
    // the camera runs short; the reader gives each back within a few frames.
    hoarder = std::make_unique<HoldingWatcher>(peer.loop, peer.connection, *peer.registry, output,
                                               std::chrono::milliseconds(400));
    reader = std::make_unique<HoldingWatcher>(peer.loop, peer.connection, *peer.registry, output,
                                              std::chrono::milliseconds(100));
  }
  ASSERT_EQ(hoarder->start(), status::kNoError);
  ASSERT_EQ(reader->start(), status::kNoError);

  constexpr int kFrames = 240;
  auto next = std::chrono::steady_clock::now();
  for (int i = 0; i < kFrames; ++i) {
    const uint64_t now = dispatch::hostClock()->nowNanos();
    extension.output->sendSampleBuffer(pictureSample(static_cast<uint8_t>(i), 640, 480, now),
                                       kDiscontinuityNone, now);
    std::this_thread::sleep_until(next += std::chrono::milliseconds(33));
  }
  harness->settle();

  // The camera took buffers back from the hoarder once it had held them long, never sooner
  // from either (the reader gives each back long before, unless a busy machine holds it up).
  EXPECT_GT(hoarder->rewrittenLate, 0);
  EXPECT_EQ(hoarder->rewrittenEarly + reader->rewrittenEarly, 0);
}

// Pictures filled in the link's buffers reach the extension whole, with their stamps. While the
// client holds every buffer the camera does not, it gets none more, at once; pictures let go of
// unsent are handed out again, never lost.
TEST_F(PipeWireHostTest, PicturesFilledInTheLinksBuffersArriveAndComeBack) {
  const std::shared_ptr<HardwareClient> client = harness->host().connect();
  ASSERT_TRUE(harness->eventually([&] { return findFake(*client).sink != kObjectUnknown; }));
  const FakeIDs ids = findFake(*client);
  media::SimpleQueueRef queue;
  ASSERT_EQ(client->copyBufferQueue(ids.sink, nullptr, &queue), status::kNoError);
  ASSERT_EQ(client->startStream(ids.device, ids.sink), status::kNoError);
  ASSERT_TRUE(harness->eventually([&] { return extension.sinkSource.starts == 1; }));
  const ExtensionClientRef producer = extension.sink->streamingClients().at(0);

  const auto fill = [&] { return client->pictureToFill(ids.sink, 1920, 1080); };
  // Enqueues a picture filled with `value`, and the extension takes it (and holds it).
  ConsumeRecorder delivered;
  const auto pushAndTake = [&](uint8_t value) {
    media::PixelBufferRef picture = fill();
    ASSERT_TRUE(picture);
    {
      media::BaseAddressLock pixels(*picture, media::PixelBuffer::LockFlags::ReadWrite);
      std::fill_n(pixels.data(), picture->dataSize(), value);
    }
    auto description = media::FormatDescription::createForImageBuffer(*picture);
    ASSERT_EQ(queue->enqueue(media::SampleBuffer::createForImageBuffer(
                  std::move(picture), true, std::move(description),
                  {media::MediaTime::make(1, 30), media::MediaTime::fromNanos(1000 + value),
                   media::MediaTime::invalid()},
                  value)),
              media::kStatusOK);
    const std::size_t before = delivered.count();
    extension.sink->consumeSampleBuffer(producer, delivered.completion());
    ASSERT_TRUE(harness->eventually([&] { return delivered.count() == before + 1; }));
    const ConsumeResult got = delivered.results().back();
    ASSERT_FALSE(got.error) << "picture " << int(value);
    EXPECT_EQ(uniformByte(got.buffer), value);
    EXPECT_EQ(got.buffer->presentationTimeStamp(), media::MediaTime::fromNanos(1000 + value));
    EXPECT_EQ(got.buffer->sequenceNumber(), value);
  };
  for (uint8_t value = 1; value <= 3; ++value) pushAndTake(value);

  std::vector<media::PixelBufferRef> held;
  while (held.size() < 20) {
    media::PixelBufferRef picture = fill();
    if (!picture) break;
    held.push_back(std::move(picture));
  }
  EXPECT_LT(held.size(), 20u) << "buffers kept coming while the link had none free";
  held.clear();
  for (int i = 0; i < 20; ++i) ASSERT_TRUE(fill()) << i;
  pushAndTake(99);
}

}  // namespace
}  // namespace platform::camera::testing
