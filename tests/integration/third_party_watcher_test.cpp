// The camera as an application none of us wrote sees it: GStreamer's PipeWire source, linked by
// the session manager.
#include <gtest/gtest.h>
#include <signal.h>

#include "tests/integration/camera_watcher.h"
#include "tests/integration/child_process.h"

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

// Frames the watcher got within `window`.
int framesWithin(CameraWatcher& watcher, std::chrono::milliseconds window) {
  int frames = 0;
  const auto end = std::chrono::steady_clock::now() + window;
  while (std::chrono::steady_clock::now() < end) frames += watcher.nextFrame(100ms) != nullptr;
  return frames;
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

  ChildProcess stalling(gstWatcher("-1", "format=BGRA,width=640,height=480", /*hoarding=*/true));
  CameraWatcher watcher(*host, 2);
  ASSERT_TRUE(watcher.started());
  ASSERT_TRUE(waitUntil([&] {
    ChildProcess status({QUILLANE_CAMD_PATH, "status"});
    status.waitForExit(5s);
    return status.outputLines() == std::vector<std::string>{R"({"device":true,"streaming":true})"};
  }, 10s));
  // What this machine lets the watcher take in 3 s beside the hoarder; one whose frames the
  // hoarder held for good would soon take none.
  const int first = framesWithin(watcher, 3s);
  ASSERT_GT(first, 0);
  // One asking for a pixel format or a size the camera does not offer is refused. (On an idle
  // camera the session manager makes no link, and GStreamer waits for one.)
  for (const char* caps : {"format=NV12", "format=BGRA,width=800,height=600"}) {
    ChildProcess unoffered(gstWatcher("30", caps));
    EXPECT_EQ(unoffered.waitForExit(20s), 1) << caps;
  }

  // The other watcher keeps most of its frames in the next seconds, while the hoarder holds
  // buffers, stalls or dies holding them (a starved one gets a fifth or fewer).
  EXPECT_GT(framesWithin(watcher, 3s), first * 2 / 5);
  stalling.signal(SIGSTOP);
  EXPECT_GT(framesWithin(watcher, 3s), first * 2 / 5);
  stalling.signal(SIGKILL);
  EXPECT_GT(framesWithin(watcher, 3s), first * 2 / 5);
}

}  // namespace
}  // namespace quillane::integration
