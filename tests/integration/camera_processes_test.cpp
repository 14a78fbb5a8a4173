// The camera as users run it: the extension, quillane-camd and watchers as separate processes on
// a private PipeWire daemon.
#include <gtest/gtest.h>
#include <signal.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <thread>

#include "tests/camd/frame_stream.h"
#include "tests/integration/camera_watcher.h"
#include "tests/integration/child_process.h"

namespace quillane::integration {
namespace {

using namespace std::chrono_literals;
using nlohmann::json;

// Parses a line of JSON; null when it is not JSON.
json parsed(const std::string& line) {
  return json::parse(line, nullptr, /*allow_exceptions=*/false);
}

// Feeds quillane-camd run with frames of one RGBA colour, about 30 a second, on a thread of its
// own until told to pause or stop.
class Producer {
 public:
  Producer(ChildProcess& run, uint32_t width, uint32_t height, std::array<uint8_t, 4> rgba)
      : run_(run) {
    std::string pixels;
    for (uint32_t i = 0; i < width * height; ++i) pixels.append(rgba.begin(), rgba.end());
    frame_ = camd::testing::frameHeader(width, height, width * 4 * height) + pixels;
    thread_ = std::thread([this] {
      while (!stopped_) {
        if (!paused_) {
          if (!run_.write(frame_)) return;
          ++written_;
        }
        std::this_thread::sleep_for(33ms);
      }
    });
  }
  ~Producer() { stop(); }
  void pause() { paused_ = true; }
  int written() const { return written_; }
  // Ends the feeding; the run's input is the test's again.
  void stop() {
    stopped_ = true;
    if (thread_.joinable()) thread_.join();
  }

 private:
  ChildProcess& run_;
  std::string frame_;
  std::atomic<int> written_{0};
  std::atomic<bool> paused_{false};
  std::atomic<bool> stopped_{false};
  std::thread thread_;
};

// Waits until run writes a status line with this device flag and more frames than
// `framesAbove`, and returns it.
std::optional<json> statusLine(ChildProcess& run, bool device, int64_t framesAbove,
                               std::chrono::milliseconds timeout) {
  const std::optional<std::string> line = run.waitForLine(
      [&](const std::string& text) {
        const json report = parsed(text);
        return report.is_object() && report["device"] == device &&
               report["frames"].get<int64_t>() > framesAbove;
      },
      timeout);
  if (!line) return std::nullopt;
  return parsed(*line);
}

class CameraProcessesTest : public ::testing::Test {
 protected:
  // Starts the extension and waits until the test's own client sees the camera.
  void startCamera() {
    extension = std::make_unique<ChildProcess>(std::vector<std::string>{QUILLANE_EXTENSION_PATH});
    ASSERT_TRUE(waitUntil([&] { return findCamera(*client).device != 0; }, 5s))
        << extension->errorText();
  }

  // Runs a quillane-camd command to its end and returns its output lines.
  static std::vector<std::string> camd(const std::string& command) {
    ChildProcess tool({QUILLANE_CAMD_PATH, command});
    EXPECT_EQ(tool.waitForExit(10s), 0);
    return tool.outputLines();
  }

  std::unique_ptr<platform::camera::CameraHost> host = platform::camera::createSystemCameraHost();
  std::shared_ptr<platform::camera::HardwareClient> client = host->connect();
  std::unique_ptr<ChildProcess> extension;
};

TEST_F(CameraProcessesTest, ToolSeesTheCameraAndWatchersGetThePushedColourAtEveryOfferedSize) {
  startCamera();
  EXPECT_EQ(camd("status"), std::vector<std::string>{R"({"device":true,"streaming":false})"});
  const std::vector<std::string> devices = camd("devices");
  ASSERT_EQ(devices.size(), 1u);
  const json device = parsed(devices[0]);
  EXPECT_EQ(device["uid"], kCameraUID);
  EXPECT_EQ(device["name"], "Quillane Camera");
  ASSERT_EQ(device["streams"].size(), 2u);
  EXPECT_EQ(device["streams"][0]["direction"], 1);
  EXPECT_EQ(device["streams"][1]["direction"], 0);

  ChildProcess run({QUILLANE_CAMD_PATH, "run"});
  Producer producer(run, 1280, 720, {200, 100, 50, 255});  // RGBA in, BGRA out
  const Bgra pushed{50, 100, 200, 255};
  const std::pair<int, int> sizes[] = {{1920, 1080}, {1280, 720}, {640, 480}};
  for (uint32_t index = 0; index < 3; ++index) {
    SCOPED_TRACE(index);
    CameraWatcher watcher(*host, index);
    ASSERT_TRUE(watcher.started());
    platform::media::SampleBufferRef frame;
    int seen = 0;
    Bgra last{};
    ASSERT_TRUE(waitUntil(
        [&] {
          frame = watcher.nextFrame();
          if (frame) { ++seen; last = centrePixel(frame); }
          return frame && near(last, pushed);
        },
        10s))
        << "frames " << seen << " last " << int(last[0]) << "," << int(last[1]) << ","
        << int(last[2]) << "," << int(last[3]) << " run: " << run.errorText()
        << (run.outputLines().empty() ? "" : run.outputLines().back());
    EXPECT_EQ(frame->imageBuffer()->width(), sizes[index].first);
    EXPECT_EQ(frame->imageBuffer()->height(), sizes[index].second);
    if (index == 0) {
      EXPECT_EQ(camd("status"), std::vector<std::string>{R"({"device":true,"streaming":true})"});
    }
  }

  // The producer goes quiet: the last frame goes on for a while, then the placeholder returns.
  CameraWatcher watcher(*host, 2);
  ASSERT_TRUE(watcher.started());
  producer.pause();
  const auto paused = std::chrono::steady_clock::now();
  ASSERT_TRUE(waitUntil([&] {
    platform::media::SampleBufferRef frame = watcher.nextFrame();
    return frame && !near(centrePixel(frame), pushed);
  }, 5s));
  EXPECT_GT(std::chrono::steady_clock::now() - paused, 1s);
  producer.stop();
  run.closeInput();
  EXPECT_EQ(run.waitForExit(10s), 0);
}

// A watch of the idle camera starts with the frame pushed last, never with frames the camera or
// a former watch kept from before.
TEST_F(CameraProcessesTest, NewWatchStartsWithTheFramePushedLast) {
  startCamera();
  ChildProcess run({QUILLANE_CAMD_PATH, "run"});
  const auto watchedFirst = [&](const Bgra& expected) {
    CameraWatcher watcher(*host, 2);
    EXPECT_TRUE(watcher.started());
    const platform::media::SampleBufferRef first = watcher.nextFrame(10s);
    return first && near(centrePixel(first), expected);
  };
  // Until the run's status line counts more than `frames` frames read and pushed.
  const auto pushedBeyond = [&](int64_t frames) {
    return run
        .waitForLine(
            [&](const std::string& text) {
              const json report = parsed(text);
              return report.is_object() && report["frames"].get<int64_t>() > frames;
            },
            15s)
        .has_value();
  };

  auto producer =
      std::make_unique<Producer>(run, 640, 480, std::array<uint8_t, 4>{10, 20, 30, 255});
  ASSERT_TRUE(pushedBeyond(2)) << run.errorText();
  EXPECT_TRUE(watchedFirst({30, 20, 10, 255}));
  producer->stop();
  const int first = producer->written();
  producer = std::make_unique<Producer>(run, 640, 480, std::array<uint8_t, 4>{200, 100, 50, 255});
  // Half a second of the new colour went in after the last frame of the old one.
  ASSERT_TRUE(pushedBeyond(first + 15));
  EXPECT_TRUE(watchedFirst({50, 100, 200, 255}));
  producer.reset();
  run.closeInput();
  EXPECT_EQ(run.waitForExit(10s), 0);
}

TEST_F(CameraProcessesTest, RunKeepsGoingWhileTheCameraIsKilledAndStartedAgain) {
  startCamera();
  ChildProcess run({QUILLANE_CAMD_PATH, "run"});
  Producer producer(run, 640, 480, {1, 2, 3, 255});
  const std::optional<json> before = statusLine(run, true, 5, 15s);
  ASSERT_TRUE(before);

  extension->signal(SIGKILL);
  ASSERT_TRUE(extension->waitForExit(5s));
  ASSERT_TRUE(statusLine(run, false, -1, 15s));
  startCamera();
  // Re-attached: the count goes on from where it was.
  EXPECT_TRUE(statusLine(run, true, (*before)["frames"].get<int64_t>() + 10, 15s));
  producer.stop();
  run.closeInput();
  EXPECT_EQ(run.waitForExit(10s), 0);
}

// Producers that start and stop in any order: the one that started last is shown, whole, and the
// one before it again once it stops; the extension outlives each of them.
TEST_F(CameraProcessesTest, NewestProducerIsShownAndTheOneBeforeItAgainOnceItStops) {
  startCamera();
  CameraWatcher watcher(*host, 2);
  ASSERT_TRUE(watcher.started());
  struct Pushing {
    Pushing(std::array<uint8_t, 4> rgba)
        : run({QUILLANE_CAMD_PATH, "run"}),
          producer(run, 320, 240, rgba),
          shown{rgba[2], rgba[1], rgba[0], rgba[3]} {}
    ~Pushing() {
      producer.stop();
      run.closeInput();
      EXPECT_EQ(run.waitForExit(10s), 0) << run.errorText();
    }
    ChildProcess run;
    Producer producer;
    Bgra shown;
  };
  const auto shows = [&](const Pushing& pushing) {
    watcher.drain();
    return waitUntil(
        [&] {
          platform::media::SampleBufferRef frame = watcher.nextFrame();
          return frame && wholly(frame, pushing.shown);
        },
        10s);
  };
  auto first = std::make_unique<Pushing>(std::array<uint8_t, 4>{200, 0, 0, 255});
  ASSERT_TRUE(shows(*first));
  auto second = std::make_unique<Pushing>(std::array<uint8_t, 4>{0, 200, 0, 255});
  ASSERT_TRUE(shows(*second));
  auto third = std::make_unique<Pushing>(std::array<uint8_t, 4>{0, 0, 200, 255});
  ASSERT_TRUE(shows(*third));

  third.reset();
  EXPECT_TRUE(shows(*second));
  first.reset();  // the oldest, while a newer one is shown
  EXPECT_TRUE(shows(*second));
  second.reset();
  EXPECT_EQ(extension->waitForExit(0ms), std::nullopt) << extension->errorText();
}

// The extension stopped after it published: the camera stays listed but never links, so every
// attach try waits out the link's time-out. Meanwhile run reads and drops the frames as they come
// and keeps its half-second beat.
TEST_F(CameraProcessesTest, RunKeepsReadingAndReportingWhileTheCameraNeverLinks) {
  startCamera();
  extension->signal(SIGSTOP);
  struct Continue {
    ChildProcess& extension;
    ~Continue() { extension.signal(SIGCONT); }
  } resumeAtTheEnd{*extension};

  ChildProcess run({QUILLANE_CAMD_PATH, "run"});
  ASSERT_TRUE(run.waitForLine([](const std::string&) { return true; }, 15s));
  // Frames larger than the pipe: the producer goes only as fast as run reads.
  Producer producer(run, 640, 480, {1, 2, 3, 255});
  std::vector<std::chrono::steady_clock::time_point> arrivals;
  std::size_t index = 0;
  run.waitForLine(
      [&](const std::string&) {
        if (index++ == arrivals.size()) arrivals.push_back(std::chrono::steady_clock::now());
        return false;
      },
      4s);
  producer.stop();
  // About 120 frames in 4 s; a pump that waited for each try would have taken 2.
  EXPECT_GE(producer.written(), 40);
  for (std::size_t i = 1; i < arrivals.size(); ++i) {
    EXPECT_LT(arrivals[i] - arrivals[i - 1], 1500ms) << "line " << i;
  }
  EXPECT_GE(arrivals.size(), 6u);
  run.closeInput();
  EXPECT_EQ(run.waitForExit(10s), 0) << run.errorText();
  for (const std::string& line : run.outputLines()) {
    EXPECT_EQ(line, R"({"device":true,"frames":0,"ok":true,"streaming":false})");
  }
}

TEST_F(CameraProcessesTest, TerminationWithdrawsTheCameraAndExitsZero) {
  startCamera();
  CameraWatcher watcher(*host, 2);
  ASSERT_TRUE(watcher.started());
  ASSERT_TRUE(watcher.nextFrame());
  extension->signal(SIGTERM);
  EXPECT_EQ(extension->waitForExit(5s), 0) << extension->errorText();
  EXPECT_TRUE(waitUntil([&] { return findCamera(*client).device == 0; }, 5s));
}

}  // namespace
}  // namespace quillane::integration

namespace quillane::integration {
namespace {

// Makes the daemon drop a program's connections, as it drops a client it gives up on; the daemon
// lives on.
void dropConnectionsOf(pid_t pid) {
  ChildProcess clients({"pw-cli", "ls", "Client"});
  ASSERT_EQ(clients.waitForExit(5s), 0) << clients.errorText();
  const std::string owner = "pipewire.sec.pid = \"" + std::to_string(pid) + "\"";
  std::string id;
  for (const std::string& line : clients.outputLines()) {
    if (line.starts_with("\tid ")) id = line.substr(4, line.find(',') - 4);
    if (line.find(owner) == std::string::npos) continue;
    ChildProcess destroy({"pw-cli", "destroy", id});
    EXPECT_EQ(destroy.waitForExit(5s), 0) << destroy.errorText();
  }
}

// The camera on a daemon of this test's own, which the test takes away and brings back.
class CameraWithoutDaemonTest : public ::testing::Test {
 protected:
  CameraWithoutDaemonTest() {
    for (const auto& [name, value] : environment) ::setenv(name.c_str(), value.c_str(), 1);
  }
  ~CameraWithoutDaemonTest() override { session("stop"); }

  void session(const char* command) {
    ChildProcess script({QUILLANE_SESSION_SCRIPT, command, folder});
    EXPECT_EQ(script.waitForExit(15s), 0) << command << ": " << script.errorText();
  }

  const std::string folder = ::testing::TempDir() + "daemon-" + std::to_string(::getpid());
  const std::map<std::string, std::string> environment{{"PIPEWIRE_RUNTIME_DIR", folder},
                                                       {"PIPEWIRE_REMOTE", folder + "/pipewire-0"}};
};

TEST_F(CameraWithoutDaemonTest, ExtensionSaysOnceThatItWaitsAndComesBackWithTheDaemon) {
  ChildProcess extension({QUILLANE_EXTENSION_PATH}, environment);
  EXPECT_TRUE(waitUntil([&] { return !extension.errorText().empty(); }, 5s));
  session("start");
  auto host = platform::camera::createSystemCameraHost();
  auto client = host->connect();
  EXPECT_TRUE(waitUntil([&] { return findCamera(*client).device != 0; }, 5s));
  const std::string said = extension.errorText();
  EXPECT_EQ(std::count(said.begin(), said.end(), '\n'), 1) << said;
  EXPECT_NE(said.find("cannot reach the PipeWire daemon"), std::string::npos) << said;

  // The daemon restarts: the camera is published again, under new IDs.
  session("stop");
  session("start");
  auto again = host->connect();
  EXPECT_TRUE(waitUntil([&] { return findCamera(*again).device != 0; }, 5s));
  EXPECT_EQ(extension.waitForExit(0ms), std::nullopt);
}

// The daemon restarts under a running producer and a running viewer: run says within 2 s that the
// camera is gone and pushes again once it is back; the viewer ends as for a camera that vanished.
// Clients that lost the daemon try again five times a second. Then a restart quicker than run's
// beat, and a connection the daemon drops while it lives on: the camera shows under new IDs, so
// run still lets go of the stream that died.
TEST_F(CameraWithoutDaemonTest, RunPushesAgainAfterEachDaemonRestartAndTheViewerEnds) {
  session("start");
  ChildProcess extension({QUILLANE_EXTENSION_PATH}, environment);
  auto host = platform::camera::createSystemCameraHost();
  auto client = host->connect();
  ASSERT_TRUE(waitUntil([&] { return findCamera(*client).device != 0; }, 5s));
  ChildProcess run({QUILLANE_CAMD_PATH, "run"}, environment);
  Producer producer(run, 640, 480, {200, 100, 50, 255});  // RGBA in, BGRA out
  ASSERT_TRUE(statusLine(run, true, 5, 15s)) << run.errorText();
  ChildProcess viewer({QUILLANE_VIEW_PATH, "--size", "640x480"}, environment);
  ASSERT_TRUE(viewer.waitForLine([](const std::string&) { return true; }, 10s))
      << viewer.errorText();
  const auto left = [](std::chrono::steady_clock::time_point deadline) {
    return std::max(0ms, std::chrono::duration_cast<std::chrono::milliseconds>(
                             deadline - std::chrono::steady_clock::now()));
  };

  session("stop");
  const auto noticed = std::chrono::steady_clock::now() + 2s;
  const std::optional<json> gone = statusLine(run, false, -1, left(noticed));
  ASSERT_TRUE(gone) << run.errorText();
  EXPECT_EQ(viewer.waitForExit(left(noticed)), 1);
  EXPECT_EQ(viewer.errorText(), "camera vanished\n");
  // This client's first try fails now; its next comes 200 ms later, not seconds.
  auto late = host->connect();
  const auto firstTry = std::chrono::steady_clock::now();
  session("start");
  EXPECT_TRUE(waitUntil([&] { return findCamera(*late).device != 0; }, left(firstTry + 1800ms)));
  const std::optional<json> back =
      statusLine(run, true, (*gone)["frames"].get<int64_t>() + 10, 10s);
  ASSERT_TRUE(back) << run.errorText();

  const CameraIDs before = findCamera(*client);
  session("stop");
  session("start");
  const std::optional<json> again =
      statusLine(run, true, (*back)["frames"].get<int64_t>() + 30, 10s);
  ASSERT_TRUE(again) << run.errorText();
  dropConnectionsOf(run.pid());
  EXPECT_TRUE(statusLine(run, true, (*again)["frames"].get<int64_t>() + 30, 10s))
      << run.errorText();
  CameraWatcher watcher(*host, 2);
  ASSERT_TRUE(watcher.started());
  EXPECT_TRUE(waitUntil(
      [&] {
        const platform::media::SampleBufferRef frame = watcher.nextFrame();
        return frame && near(centrePixel(frame), Bgra{50, 100, 200, 255});
      },
      10s));
  const CameraIDs after = findCamera(*client);
  for (platform::camera::ObjectID old : {before.device, before.output, before.sink}) {
    EXPECT_NE(old, after.device);
    EXPECT_NE(old, after.output);
    EXPECT_NE(old, after.sink);
  }
  producer.stop();
  run.closeInput();
  EXPECT_EQ(run.waitForExit(10s), 0);
}

}  // namespace
}  // namespace quillane::integration

namespace quillane::integration {
namespace {

// Activation as users run it, in folders of this test's own: the camera comes with `activate`
// and goes with `deactivate`.
class ActivationTest : public ::testing::Test {
 protected:
  void TearDown() override { camd("deactivate"); }  // whatever happened, nothing stays behind

  std::string camd(const std::string& command) {
    ChildProcess tool({QUILLANE_CAMD_PATH, command}, environment);
    EXPECT_EQ(tool.waitForExit(30s), 0) << tool.errorText();
    return tool.outputLines().empty() ? "" : tool.outputLines().back();
  }

  const std::string folder = ::testing::TempDir() + "activation-" + std::to_string(::getpid());
  const std::map<std::string, std::string> environment{
      {"XDG_DATA_HOME", folder + "/data"},
      {"XDG_STATE_HOME", folder + "/state"},
      {"XDG_CONFIG_HOME", folder + "/config"},
      {"XDG_RUNTIME_DIR", folder + "/run"},
      {"DBUS_SESSION_BUS_ADDRESS", "unix:path=" + folder + "/run/no-bus"}};
  std::unique_ptr<platform::camera::CameraHost> host = platform::camera::createSystemCameraHost();
  std::shared_ptr<platform::camera::HardwareClient> client = host->connect();
};

TEST_F(ActivationTest, ActivateBringsTheCameraAndDeactivateTakesItAway) {
  std::filesystem::create_directories(folder + "/run");
  std::filesystem::permissions(folder + "/run", std::filesystem::perms::owner_all);
  EXPECT_EQ(parsed(camd("activate"))["state"], "completed");
  EXPECT_TRUE(waitUntil([&] { return findCamera(*client).device != 0; }, 2s));
  EXPECT_EQ(parsed(camd("deactivate"))["state"], "completed");
  EXPECT_TRUE(waitUntil([&] { return findCamera(*client).device == 0; }, 2s));
}

}  // namespace
}  // namespace quillane::integration
