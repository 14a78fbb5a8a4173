// A producer that breaks the rules loses its link; the camera and its watchers go on.
#include <gtest/gtest.h>
#include <pipewire/pipewire.h>

#include "formats/camera_identity.h"
#include "platform/camera/pipewire/client/linked_stream.h"
#include "tests/integration/camera_watcher.h"
#include "tests/integration/child_process.h"
#include "tests/platform/camera/pipewire_peer.h"

namespace quillane::integration {
namespace {

using namespace std::chrono_literals;
namespace pw = platform::camera::pipewire;

// A producer linked to the camera's sink whose buffers claim more than they hold.
class LyingProducer final : public pw::LinkedStream {
 public:
  using LinkedStream::LinkedStream;

  // Hands over a 64 × 64 picture whose rows are said to be 4 bytes apart and 64 bytes long.
  bool lie() {
    pw::PipeWireLoop::Lock lock(loop_);
    pw_buffer* buffer = linkReadyLocked() ? video_->dequeue() : nullptr;
    if (buffer == nullptr) return false;
    spa_chunk& chunk = *buffer->buffer->datas[0].chunk;
    chunk = spa_chunk{0, 64, 4, 0};
    video_->queue(buffer);
    video_->triggerProcess();
    return true;
  }
  bool linkGone() {
    pw::PipeWireLoop::Lock lock(loop_);
    return !linkReadyLocked();
  }

 private:
  pw::VideoStreamSetup setup() const override {
    return {.name = "lying-producer",
            .properties = {{PW_KEY_MEDIA_CLASS, "Stream/Output/Video"}},
            .output = true,
            .flags = PW_STREAM_FLAG_DRIVER | PW_STREAM_FLAG_MAP_BUFFERS | PW_STREAM_FLAG_RT_PROCESS,
            .buffers = pw::kSinkLinkBuffers,
            .pixelFormats = {platform::media::kPixelFormat32BGRA},
            .only = {}};
  }
  void offer(pw::VideoParams& formats) const override {
    formats.addFixedFormat({platform::media::kPixelFormat32BGRA, {64, 64}});
  }
};

TEST(BadPeerTest, ProducerWhoseBuffersLieLosesItsLinkOnly) {
  ChildProcess extension({QUILLANE_EXTENSION_PATH});
  auto host = platform::camera::createSystemCameraHost();
  auto client = host->connect();
  ASSERT_TRUE(waitUntil([&] { return findCamera(*client).device != 0; }, 5s));
  CameraWatcher watcher(*host, 2);
  ASSERT_TRUE(watcher.started());

  platform::camera::testing::PipeWirePeer peer("lying-producer");
  const uint32_t sink = peer.waitForNode("0", camera_identity::deviceUIDToLookFor());
  ASSERT_NE(sink, 0u);
  std::unique_ptr<LyingProducer> producer;
  {
    pw::PipeWireLoop::Lock lock(peer.loop);
    producer = std::make_unique<LyingProducer>(peer.loop, peer.connection, *peer.registry, sink,
                                               /*output=*/true);
  }
  ASSERT_EQ(producer->start(), platform::camera::status::kNoError);
  // Lies until the link is gone: the first buffers on a new link may not reach the camera.
  int lies = 0;
  EXPECT_TRUE(waitUntil(
      [&] {
        lies += producer->lie();
        return producer->linkGone();
      },
      5s));
  EXPECT_GT(lies, 0);

  watcher.drain();
  EXPECT_TRUE(watcher.nextFrame());
  EXPECT_EQ(extension.waitForExit(0ms), std::nullopt);
}

}  // namespace
}  // namespace quillane::integration
