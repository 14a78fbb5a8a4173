// What only the PipeWire host does: it says once on standard error what fails and acts on it. A
// link that fails between the camera and a peer that takes none of its formats is dropped, so that
// the stream's source sees its client stop even while the peer holds on to the link; a node that
// the daemon removes is made anew.
#include <gtest/gtest.h>
#include <pipewire/pipewire.h>

#include "platform/camera/pipewire/client/linked_stream.h"
#include "tests/platform/camera/host_test_support.h"
#include "tests/platform/camera/pipewire_peer.h"

namespace platform::camera::testing {
namespace {

namespace pw = platform::camera::pipewire;

// A watcher that takes only a size the camera does not offer.
class MisfitWatcher final : public pw::LinkedStream {
 public:
  using LinkedStream::LinkedStream;

 private:
  pw::VideoStreamSetup setup() const override {
    return {.name = "misfit-watcher",
            .properties = {{PW_KEY_MEDIA_CLASS, "Stream/Input/Video"}},
            .output = false,
            .flags = PW_STREAM_FLAG_MAP_BUFFERS,
            .buffers = std::nullopt,
            .pixelFormats = {media::kPixelFormat32BGRA},
            .only = {}};
  }
  void offer(pw::VideoParams& formats) const override {
    formats.addFixedFormat({media::kPixelFormat32BGRA, {64, 64}});
  }
};

// How often `line` occurs in `text`.
size_t occurrences(const std::string& text, const std::string& line) {
  size_t count = 0;
  for (size_t at = text.find(line); at != std::string::npos; at = text.find(line, at + 1)) ++count;
  return count;
}

TEST(PipeWireHostTest, FailedLinkIsSaidOnceAndDroppedSoItsClientStops) {
  const std::unique_ptr<HostHarness> harness = makeHostHarness();
  FakeExtension extension(harness->host());
  extension.publish();
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

TEST(PipeWireHostTest, NodeTheDaemonRemovesIsSaidOnceAndMadeAnew) {
  const std::unique_ptr<HostHarness> harness = makeHostHarness();
  FakeExtension extension(harness->host());
  extension.publish();
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

}  // namespace
}  // namespace platform::camera::testing
