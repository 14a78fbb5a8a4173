// A producer that breaks the rules loses its link; the camera, its watchers and other producers
// go on.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pipewire/pipewire.h>
#include <sys/mman.h>
#include <unistd.h>

#include <map>
#include <vector>

#include "formats/camera_identity.h"
#include "platform/base/unique_fd.h"
#include "platform/camera/pipewire/client/linked_stream.h"
#include "tests/integration/camera_watcher.h"
#include "tests/integration/child_process.h"
#include "tests/integration/pictures.h"
#include "tests/platform/camera/pipewire_peer.h"

namespace quillane::integration {
namespace {

using namespace std::chrono_literals;
namespace pw = platform::camera::pipewire;

constexpr uint32_t kSide = 64;
constexpr uint32_t kRow = kSide * 4;
constexpr uint32_t kPicture = kRow * kSide;

// What a lying producer claims about its 64 × 64 pictures and the memory behind its buffers.
struct Lie {
  const char* name;
  spa_chunk chunk;
  int seals = F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_SEAL;
  uint32_t memory = kPicture;  // bytes in the memfd
  uint32_t mapoffset = 0;
  uint32_t maxsize = kPicture;
  bool memfd = true;
};

const Lie kLies[] = {
    {.name = "offset", .chunk = {kRow, kPicture, kRow, 0}},
    {.name = "size", .chunk = {0, kPicture - kRow, kRow, 0}},
    {.name = "stride", .chunk = {0, kPicture, 4, 0}},
    {.name = "maxsize", .chunk = {kRow, kPicture, kRow, 0}, .maxsize = kPicture + kRow},
    {.name = "mapoffset", .chunk = {0, kPicture, kRow, 0}, .mapoffset = kRow},
    {.name = "no seals", .chunk = {0, kPicture, kRow, 0}, .seals = 0},
    {.name = "sealed against growth only", .chunk = {0, kPicture, kRow, 0}, .seals = F_SEAL_GROW},
    {.name = "not a memfd", .chunk = {0, kPicture, kRow, 0}, .memfd = false},
};

// A producer linked to the camera's sink whose buffers claim what `lie` says, in memory of its
// own that it fills with one colour.
class LyingProducer final : public pw::LinkedStream {
 public:
  LyingProducer(platform::camera::testing::PipeWirePeer& peer, uint32_t sink, const Lie& lie)
      : LinkedStream(peer.loop, peer.connection, *peer.registry, sink, /*output=*/true), lie_(lie) {}
  ~LyingProducer() override {
    pw::PipeWireLoop::Lock lock(loop_);
    destroyLocked();
  }

  // Hands over one picture; false when no buffer was free.
  bool lie() {
    pw::PipeWireLoop::Lock lock(loop_);
    pw_buffer* buffer = linkReadyLocked() ? video_->dequeue() : nullptr;
    if (buffer == nullptr) return false;
    *buffer->buffer->datas[0].chunk = lie_.chunk;
    video_->queue(buffer);
    video_->triggerProcess();
    return true;
  }
  bool linkGone() {
    pw::PipeWireLoop::Lock lock(loop_);
    return !linkReadyLocked();
  }

 private:
  struct Memory {
    platform::base::UniqueFd fd;
    std::vector<uint8_t> bytes;  // when not a memfd
  };

  pw::VideoStreamSetup setup() const override {
    return {.name = "lying-producer",
            .properties = {{PW_KEY_MEDIA_CLASS, "Stream/Output/Video"}},
            .output = true,
            .flags = PW_STREAM_FLAG_DRIVER | PW_STREAM_FLAG_ALLOC_BUFFERS |
                     PW_STREAM_FLAG_RT_PROCESS,
            .buffers = pw::kSinkLinkBuffers,
            .pixelFormats = {platform::media::kPixelFormat32BGRA},
            .only = {}};
  }
  void offer(pw::VideoParams& formats) const override {
    formats.addFixedFormat({platform::media::kPixelFormat32BGRA, {kSide, kSide}});
  }
  void bufferAdded(pw::VideoStream&, pw_buffer* buffer) override {
    spa_data& d = buffer->buffer->datas[0];
    Memory& memory = memory_[buffer];
    if (lie_.memfd) {
      memory.fd = platform::base::UniqueFd(::memfd_create("lie", MFD_CLOEXEC | MFD_ALLOW_SEALING));
      ASSERT_EQ(::ftruncate(memory.fd.get(), lie_.memory), 0);
      ASSERT_TRUE(lie_.seals == 0 || ::fcntl(memory.fd.get(), F_ADD_SEALS, lie_.seals) == 0);
      d.type = SPA_DATA_MemFd;
      d.fd = memory.fd.get();
      d.data = nullptr;
    } else {
      memory.bytes.assign(lie_.memory, 0x80);
      d.type = SPA_DATA_MemPtr;
      d.fd = -1;
      d.data = memory.bytes.data();
    }
    d.flags = SPA_DATA_FLAG_READWRITE;
    d.mapoffset = lie_.mapoffset;
    d.maxsize = lie_.maxsize;
  }
  void bufferRemoved(pw::VideoStream&, pw_buffer* buffer) override { memory_.erase(buffer); }

  const Lie lie_;
  std::map<pw_buffer*, Memory> memory_;
};

// For each lie: an honest producer is shown, the liar starts after it (so it is the one taken),
// lies until its link is gone, and the honest one is shown again.
TEST(BadPeerTest, ProducerWhoseBuffersLieLosesItsLinkOnlyAndTheOneBeforeItIsShownAgain) {
  ChildProcess extension({QUILLANE_EXTENSION_PATH});
  auto host = platform::camera::createSystemCameraHost();
  auto client = host->connect();
  ASSERT_TRUE(waitUntil([&] { return findCamera(*client).device != 0; }, 5s));
  CameraWatcher watcher(*host, 2);
  ASSERT_TRUE(watcher.started());

  ChildProcess run({QUILLANE_CAMD_PATH, "run"});
  const std::string frame = framed(320, 240, std::vector<Rgba>(320 * 240, {200, 30, 10, 255}));
  auto feeder = std::make_unique<FrameFeeder>(run, 33ms, [&](uint64_t) { return frame; });
  const auto honestShown = [&] {
    watcher.drain();
    return waitUntil(
        [&] {
          platform::media::SampleBufferRef shown = watcher.nextFrame();
          return shown && wholly(shown, Bgra{10, 30, 200, 255});
        },
        10s);
  };
  ASSERT_TRUE(honestShown());

  platform::camera::testing::PipeWirePeer peer("lying-producer");
  const uint32_t sink = peer.waitForNode("0", camera_identity::deviceUIDToLookFor());
  ASSERT_NE(sink, 0u);
  for (const Lie& lie : kLies) {
    SCOPED_TRACE(lie.name);
    std::unique_ptr<LyingProducer> producer;
    {
      pw::PipeWireLoop::Lock lock(peer.loop);
      producer = std::make_unique<LyingProducer>(peer, sink, lie);
    }
    // Memory that cannot be shared may stop the link before it runs.
    const bool linked = producer->start() == platform::camera::status::kNoError;
    ASSERT_TRUE(linked || !lie.memfd);
    // Lies until the link is gone: the first buffers on a new link may not reach the camera.
    EXPECT_TRUE(waitUntil(
        [&] {
          producer->lie();
          return producer->linkGone();
        },
        5s));
    EXPECT_TRUE(honestShown());
    ASSERT_EQ(extension.waitForExit(0ms), std::nullopt) << extension.errorText();
  }
  feeder.reset();
  run.closeInput();
  EXPECT_EQ(run.waitForExit(10s), 0) << run.errorText();
}

}  // namespace
}  // namespace quillane::integration
