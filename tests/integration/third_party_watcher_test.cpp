// The camera as an application none of us wrote sees it: GStreamer's PipeWire source, linked by
// the session manager.
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <vector>

#include "platform/media/pixel_buffer.h"
#include "tests/integration/camera_watcher.h"
#include "tests/integration/child_process.h"
#include "tests/integration/pictures.h"

namespace quillane::integration {
namespace {

using namespace std::chrono_literals;

// The node name the camera's output stream is published under; the same across restarts.
const std::string kCameraNodeName = "camera-3d2c1b0a-9f8e-4d7c-8b6a-5f4e3d2c1b0a";

// A GStreamer pipeline watching the camera for `buffers` frames (-1: until stopped) in the format
// its caps name; a hoarding one queues every frame it gets and takes a second over each, so it
// holds the camera's buffers.
std::vector<std::string> gstWatcher(const std::string& buffers,
                                    const std::string& caps = "format=BGRA,width=640,height=480",
                                    bool hoarding = false) {
  std::vector<std::string> pipeline{
      "gst-launch-1.0",         "-q", "pipewiresrc",         "target-object=" + kCameraNodeName,
      "num-buffers=" + buffers, "!",  "video/x-raw," + caps, "!"};
  if (hoarding) {
    for (const char* element : {"queue", "max-size-buffers=0", "max-size-bytes=0",
                                "max-size-time=0", "!", "identity", "sleep-time=1000000", "!"}) {
      pipeline.push_back(element);
    }
  }
  pipeline.push_back("fakesink");
  return pipeline;
}

constexpr uint32_t kWidth = 640, kHeight = 480;

// Pushed frame i is one colour all over, made from i; blue 200 is in no placeholder pixel.
Rgba pushedColour(uint64_t i) {
  return {static_cast<uint8_t>(i), static_cast<uint8_t>(255 - i), 200, 255};
}

// What a watcher got within a window: its frames, how many frames the camera sent meanwhile (the
// span of their sequence numbers: a frame the camera dropped leaves a gap), and the torn ones.
struct Watched {
  int frames = 0;
  uint64_t sent = 0;
  int torn = 0;
};

// Whether a frame is whole: the placeholder (no pushed colour in it), or one pushed frame alone,
// read at both ends of every row since a buffer rewritten while it is read changes row by row.
bool whole(const platform::media::SampleBufferRef& frame) {
  platform::media::PixelBuffer& picture = *frame->imageBuffer();
  platform::media::BaseAddressLock pixels(picture,
                                          platform::media::PixelBuffer::LockFlags::ReadOnly);
  const uint8_t* first = pixels.data();
  const bool pushed = first[0] == 200;  // BGRA
  for (int y = 0; y < picture.height(); ++y) {
    for (int x : {0, picture.width() - 1}) {
      const uint8_t* pixel = pixels.data() + y * picture.bytesPerRow() + x * 4;
      if (pushed ? !std::equal(pixel, pixel + 4, first) : pixel[0] == 200) return false;
    }
  }
  return true;
}

Watched watchFor(CameraWatcher& watcher, std::chrono::milliseconds window) {
  Watched seen;
  uint64_t firstSequence = 0, lastSequence = 0;
  const auto end = std::chrono::steady_clock::now() + window;
  while (std::chrono::steady_clock::now() < end) {
    const platform::media::SampleBufferRef frame = watcher.nextFrame(100ms);
    if (!frame) continue;
    ++seen.frames;
    seen.torn += !whole(frame);
    if (firstSequence == 0) firstSequence = frame->sequenceNumber();
    lastSequence = frame->sequenceNumber();
  }
  seen.sent = seen.frames > 0 ? lastSequence - firstSequence + 1 : 0;
  return seen;
}

TEST(ThirdPartyWatcherTest, GStreamerWatchesInEachFormatAndOneRefusedStalledOrKilledStopsNoOther) {
  ChildProcess extension({QUILLANE_EXTENSION_PATH});
  auto host = platform::camera::createSystemCameraHost();
  auto client = host->connect();
  ASSERT_TRUE(waitUntil([&] { return findCamera(*client).device != 0; }, 5s));

  // In each pixel format GStreamer names in its caps.
  for (const char* caps :
       {"format=BGRA,width=640,height=480", "format=YUY2,width=1280,height=720"}) {
    ChildProcess brief(gstWatcher("30", caps));
    EXPECT_EQ(brief.waitForExit(20s), 0) << caps << ": " << brief.errorText();
  }

  // A producer whose frames change at every tick, so a buffer rewritten while it is read shows.
  ChildProcess run({QUILLANE_CAMD_PATH, "run"});
  FrameFeeder feeder(run, 33ms, [](uint64_t i) {
    return framed(kWidth, kHeight, std::vector<Rgba>(kWidth * kHeight, pushedColour(i)));
  });
  ASSERT_TRUE(waitUntilPushing(run)) << run.errorText();
  ChildProcess hoarding(gstWatcher("-1", "format=BGRA,width=640,height=480", /*hoarding=*/true));
  CameraWatcher watcher(*host, 2);
  ASSERT_TRUE(watcher.started());
  ASSERT_TRUE(waitUntil(
      [&] {
        ChildProcess status({QUILLANE_CAMD_PATH, "status"});
        status.waitForExit(5s);
        return status.outputLines() ==
               std::vector<std::string>{R"({"device":true,"streaming":true})"};
      },
      10s));
  // One asking for a pixel format or a size the camera does not offer is refused. (On an idle
  // camera the session manager makes no link, and GStreamer waits for one.)
  for (const char* caps : {"format=NV12", "format=BGRA,width=800,height=600"}) {
    ChildProcess unoffered(gstWatcher("30", caps));
    EXPECT_EQ(unoffered.waitForExit(20s), 1) << caps;
  }

  // While the hoarder holds buffers, stalls, resumes and gives them back, and dies holding them,
  // the other watcher sees every frame whole and gets most of those the camera sends: a camera
  // short of buffers drops frames, which leave gaps in the numbers the watcher sees, and one that
  // only gets a buffer when the hoarder lets go of one sends a thirtieth of them.
  for (const int signal : {0, SIGSTOP, SIGCONT, SIGKILL}) {
    SCOPED_TRACE(signal);
    if (signal != 0) hoarding.signal(signal);
    const Watched seen = watchFor(watcher, 3s);
    EXPECT_GT(seen.frames, 0);
    EXPECT_GE(seen.frames * 2, seen.sent) << seen.frames << " of " << seen.sent;
    EXPECT_EQ(seen.torn, 0);
  }
}

}  // namespace
}  // namespace quillane::integration
