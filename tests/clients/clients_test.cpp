// Applications none of us wrote watch the camera as their users would: Chromium and Firefox
// through the desktop's camera portal, driven by quillane-browser-view, and ffmpeg through
// pw-v4l2. The tests share one private desktop session and run one at a time; each starts its own
// camera, and then the portal, which tells browsers only about cameras present at its start.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <nlohmann/json.hpp>

#include "tests/integration/camera_watcher.h"
#include "tests/integration/child_process.h"
#include "tests/integration/pictures.h"

namespace quillane::integration {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using nlohmann::json;

// The picture pushed into the camera: 16:9, its quadrants in four distinct colours.
constexpr int kPushedWidth = 1280, kPushedHeight = 720;
constexpr Rgba kQuadrants[2][2] = {{{220, 40, 40, 255}, {40, 200, 60, 255}},
                                   {{40, 60, 220, 255}, {230, 210, 50, 255}}};  // [row][column]
constexpr Rgba kBlack{0, 0, 0, 255};

std::string pushedFrame() {
  std::vector<Rgba> pixels(kPushedWidth * kPushedHeight);
  for (int y = 0; y < kPushedHeight; ++y) {
    for (int x = 0; x < kPushedWidth; ++x) {
      pixels[y * kPushedWidth + x] = kQuadrants[2 * y / kPushedHeight][2 * x / kPushedWidth];
    }
  }
  return framed(kPushedWidth, kPushedHeight, pixels);
}

// Colour channels within 8 levels; alpha is not compared (bars are transparent black in BGRA).
::testing::AssertionResult near(const Png& png, int x, int y, Rgba expected) {
  const Rgba seen = png.at(x, y);
  const auto close = [](uint8_t a, uint8_t b) { return std::abs(int(a) - int(b)) <= 8; };
  if (close(seen.r, expected.r) && close(seen.g, expected.g) && close(seen.b, expected.b)) {
    return ::testing::AssertionSuccess();
  }
  return ::testing::AssertionFailure()
         << "at " << x << "," << y << " of " << png.width << "x" << png.height << ": "
         << int(seen.r) << "," << int(seen.g) << "," << int(seen.b) << " instead of "
         << int(expected.r) << "," << int(expected.g) << "," << int(expected.b);
}

// `png` shows the pushed picture fitted into its size, centred: each quadrant in its colour, black
// bars where the aspects differ, and the picture up to the edges where they match.
void expectPushedPicture(const Png& png) {
  const double scale =
      std::min(double(png.width) / kPushedWidth, double(png.height) / kPushedHeight);
  const int width = int(kPushedWidth * scale + 0.5), height = int(kPushedHeight * scale + 0.5);
  const int left = (png.width - width) / 2, top = (png.height - height) / 2;
  for (int row = 0; row < 2; ++row) {
    for (int column = 0; column < 2; ++column) {
      EXPECT_TRUE(near(png, left + width * (1 + 2 * column) / 4, top + height * (1 + 2 * row) / 4,
                       kQuadrants[row][column]));
    }
  }
  EXPECT_TRUE(near(png, left + width / 4, 1, top > 1 ? kBlack : kQuadrants[0][0]));
  EXPECT_TRUE(near(png, left + 3 * width / 4, png.height - 2, top > 1 ? kBlack : kQuadrants[1][1]));
  EXPECT_TRUE(near(png, 1, top + height / 4, left > 1 ? kBlack : kQuadrants[0][0]));
  EXPECT_TRUE(near(png, png.width - 2, top + 3 * height / 4, left > 1 ? kBlack : kQuadrants[1][1]));
}

std::vector<json> jsonLines(const ChildProcess& program) {
  std::vector<json> lines;
  for (const std::string& line : program.outputLines()) {
    lines.push_back(json::parse(line, nullptr, false));
  }
  return lines;
}

// Ends a quillane-browser-view that still runs when a test fails with SIGTERM, on which it stops
// its browser and every helper, before the test goes on.
struct StopGently {
  void operator()(ChildProcess* view) const {
    view->signal(SIGTERM);
    view->waitForExit(20s);
    delete view;
  }
};
using BrowserView = std::unique_ptr<ChildProcess, StopGently>;

// True when this process has no child left, running or ended.
bool noChildLeft() {
  int status = 0;
  return ::waitpid(-1, &status, WNOHANG) < 0 && errno == ECHILD;
}

class ClientsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ::signal(SIGPIPE, SIG_IGN);  // a feeder writing to a tool that ended gets an error instead
    fs::create_directories(folder_);
  }

  void TearDown() override {
    feeder_.reset();
    run_.reset();
    if (extension_) {
      extension_->signal(SIGTERM);
      EXPECT_EQ(extension_->waitForExit(10s), 0) << extension_->errorText();
    }
    if (!HasFailure()) fs::remove_all(folder_);
  }

  // Starts the camera and pushes the four-colour picture into it until the test ends.
  void startCamera() {
    extension_ = std::make_unique<ChildProcess>(std::vector<std::string>{QUILLANE_EXTENSION_PATH});
    const auto host = platform::camera::createSystemCameraHost();
    const auto client = host->connect();
    ASSERT_TRUE(waitUntil([&] { return findCamera(*client).device != 0; }, 10s));
    run_ = std::make_unique<ChildProcess>(std::vector<std::string>{QUILLANE_CAMD_PATH, "run"});
    feeder_ = std::make_unique<FrameFeeder>(*run_, 100ms, [](uint64_t) { return pushedFrame(); });
    ASSERT_TRUE(waitUntilPushing(*run_)) << run_->errorText();
  }

  // (Re)starts the session's camera portal, which then knows the cameras present now.
  static void startPortal() {
    ChildProcess portal({QUILLANE_SESSION_SCRIPT, "portal", std::getenv("PIPEWIRE_RUNTIME_DIR")});
    ASSERT_EQ(portal.waitForExit(30s), 0) << portal.errorText();
  }

  static BrowserView browserView(std::vector<std::string> arguments,
                                 std::map<std::string, std::string> environment = {}) {
    arguments.insert(arguments.begin(), QUILLANE_BROWSER_VIEW_PATH);
    return BrowserView(new ChildProcess(std::move(arguments), std::move(environment)));
  }

  // The browser watches the camera at 640x480 (another aspect: bars) and 1280x720 (none).
  void expectBrowserShowsThePushedPicture(const std::string& browser) {
    startCamera();
    startPortal();
    const auto view = browserView(
        {"--browser", browser, "--size", "640x480", "--size", "1280x720", "--png", folder_});
    ASSERT_EQ(view->waitForExit(120s), 0) << view->errorText();
    const std::vector<json> results = jsonLines(*view);
    ASSERT_EQ(results.size(), 2u);
    for (const json& result : results) {
      SCOPED_TRACE(result.dump());
      EXPECT_EQ(result["label"], "Quillane Camera");
      EXPECT_EQ(result["size"], result["requested_size"]);
      EXPECT_EQ(result["track_size"], result["requested_size"]);
      EXPECT_GE(result["frames"], 60);
      EXPECT_GE(result["fps"], 20);
      const std::optional<Png> png =
          readPng(folder_ / (result["requested_size"].get<std::string>() + ".png"));
      ASSERT_TRUE(png);
      EXPECT_EQ(std::to_string(png->width) + "x" + std::to_string(png->height), result["size"]);
      expectPushedPicture(*png);
    }
  }

  const fs::path folder_ =
      fs::path(::testing::TempDir()) / ("clients-" + std::to_string(::getpid()));
  std::unique_ptr<ChildProcess> extension_;
  std::unique_ptr<ChildProcess> run_;
  std::unique_ptr<FrameFeeder> feeder_;
};

TEST_F(ClientsTest, ChromiumShowsThePushedPictureAtEachSizeAtTheCameraRate) {
  expectBrowserShowsThePushedPicture("chromium");
}

TEST_F(ClientsTest, FirefoxShowsThePushedPictureAtEachSizeAtTheCameraRate) {
  expectBrowserShowsThePushedPicture("firefox");
}

TEST_F(ClientsTest, ABrowserJoiningAnotherWatcherGetsTheRunningSizeAndFrames) {
  startCamera();
  startPortal();
  const auto viewer = std::make_unique<ChildProcess>(
      std::vector<std::string>{QUILLANE_VIEW_PATH, "--size", "1920x1080"});
  ASSERT_TRUE(viewer->waitForLine([](const std::string&) { return true; }, 10s))
      << viewer->errorText();
  const auto view = browserView({"--size", "640x480", "--png", folder_});
  ASSERT_EQ(view->waitForExit(120s), 0) << view->errorText();
  const std::vector<json> results = jsonLines(*view);
  ASSERT_EQ(results.size(), 1u);
  EXPECT_EQ(results[0]["size"], "1920x1080") << results[0];
  EXPECT_GE(results[0]["fps"], 20) << results[0];
  const std::optional<Png> png = readPng(folder_ / "640x480.png");
  ASSERT_TRUE(png);
  expectPushedPicture(*png);

  viewer->signal(SIGTERM);
  ASSERT_EQ(viewer->waitForExit(10s), 0) << viewer->errorText();
  const json last = jsonLines(*viewer).back();
  EXPECT_EQ(last["size"], "1920x1080");
  EXPECT_GT(last["frames"], 60) << last;
}

TEST_F(ClientsTest, APageWithoutACameraSaysSoAndABrowserThatNeverAnswersIsStoppedWhole) {
  startPortal();
  // Orphans of the tool's browser would come to this process: none may be left.
  ::prctl(PR_SET_CHILD_SUBREAPER, 1);
  auto noCamera = browserView({"--wait", "2"});
  EXPECT_EQ(noCamera->waitForExit(60s), 1);
  // Chromium rejects at once or never answers; the page ends its wait and reports either.
  const std::string refusal = noCamera->errorText();
  EXPECT_TRUE(refusal.find("the page got no camera: NotFoundError") != std::string::npos ||
              refusal.find("the page got no camera: TimeoutError") != std::string::npos)
      << refusal;
  EXPECT_TRUE(noCamera->outputLines().empty());
  noCamera.reset();
  EXPECT_TRUE(noChildLeft());

  auto silent = browserView({"--wait", "60", "--timeout", "3"});
  EXPECT_EQ(silent->waitForExit(60s), 1);
  EXPECT_EQ(
      silent->errorText().rfind("quillane-browser-view: no report from chromium within 3.0 s", 0),
      0u)
      << silent->errorText();
  silent.reset();
  EXPECT_TRUE(noChildLeft());
}

TEST_F(ClientsTest, AMissingBrowserOrABadArgumentEndsWithItsStatusAndOneLine) {
  const auto missing = browserView({"--browser", "firefox"}, {{"PATH", "/nonexistent"}});
  EXPECT_EQ(missing->waitForExit(10s), 1);
  EXPECT_EQ(missing->errorText(),
            "quillane-browser-view: cannot start firefox-esr: No such file or directory\n");
  const auto unknown = browserView({"--browser", "lynx"});
  EXPECT_EQ(unknown->waitForExit(10s), 2);
  EXPECT_EQ(unknown->errorText().rfind("usage: quillane-browser-view ", 0), 0u);
}

TEST_F(ClientsTest, FfmpegThroughPwV4l2ListsYuyvAndReadsThePushedPicture) {
  startCamera();
  ChildProcess formats({QUILLANE_V4L2_SCRIPT, "ffmpeg", "-hide_banner", "-f", "v4l2",
                        "-list_formats", "all", "-i", "/dev/video0"});
  ASSERT_TRUE(formats.waitForExit(30s));
  const std::string listing = formats.errorText();
  EXPECT_NE(listing.find("yuyv422"), std::string::npos) << listing;
  EXPECT_NE(listing.find("640x480"), std::string::npos) << listing;

  const fs::path picture = folder_ / "v4l2.png";
  ChildProcess frame({QUILLANE_V4L2_SCRIPT, "ffmpeg", "-hide_banner", "-loglevel", "error", "-f",
                      "v4l2", "-input_format", "yuyv422", "-video_size", "640x480", "-i",
                      "/dev/video0", "-frames:v", "1", "-y", picture});
  ASSERT_EQ(frame.waitForExit(30s), 0) << frame.errorText();
  const std::optional<Png> png = readPng(picture);
  ASSERT_TRUE(png);
  EXPECT_EQ(png->width, 640);
  EXPECT_EQ(png->height, 480);
  expectPushedPicture(*png);
}

}  // namespace
}  // namespace quillane::integration
