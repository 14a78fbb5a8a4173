// quillane-browser-view: watches the camera in a real browser, headless Chromium or Firefox, as a
// video call page does: the page asks for the camera at each --size in turn, counts --frames
// frames, and posts what it saw to the tool's own server on 127.0.0.1. Prints a JSON line per
// size (the browser, the size asked for and the size got, the track's label, the frame rate the
// page measured) and writes each size's last frame to --png DIR as WxH.png. Exit 0 when every
// size was watched, 1 with a line on standard error when the page found no camera or failed, the
// browser could not start or ended early, or no report came within --timeout; 2 with the usage
// line for a bad argument. The browser and every process it started are stopped before the end.
#include <signal.h>
#include <stdlib.h>

#include <atomic>
#include <cstdio>
#include <fstream>
#include <nlohmann/json.hpp>
#include <string_view>

#include "platform/process/program_tree.h"
#include "tools/arguments.h"
#include "tools/browser/browser_launch.h"
#include "tools/browser/camera_page.h"
#include "tools/browser/page_server.h"

namespace {

namespace fs = std::filesystem;
using namespace quillane;
using nlohmann::json;

constexpr const char* kUsage =
    "usage: quillane-browser-view [--browser chromium|firefox] [--size WxH]... [--frames N] "
    "[--wait S] [--timeout S] [--png DIR]";

struct Options {
  browser::Browser browser = browser::Browser::kChromium;
  std::vector<tools::FrameSize> sizes;  // default: 1280x720
  uint64_t frames = 60;                 // frames the page counts for its rate
  double waitSeconds = 30;              // how long the page waits for a camera
  double timeoutSeconds = 90;           // how long the tool waits for the page's report
  std::optional<fs::path> pngFolder;
};

std::optional<Options> parseOptions(int argc, char** argv) {
  Options options;
  for (int i = 1; i < argc; i += 2) {
    if (i + 1 >= argc) return std::nullopt;
    const std::string_view option = argv[i];
    const std::string_view value = argv[i + 1];
    bool valid = true;
    if (option == "--browser") {
      const auto browser = browser::parseBrowser(value);
      valid = browser.has_value();
      options.browser = browser.value_or(options.browser);
    } else if (option == "--size") {
      const auto size = tools::parseSize(value);
      valid = size.has_value();
      if (size) options.sizes.push_back(*size);
    } else if (option == "--frames") {
      const auto frames = tools::parseCount(value);
      valid = frames.value_or(0) >= 1;
      options.frames = frames.value_or(1);
    } else if (option == "--wait" || option == "--timeout") {
      const auto seconds = tools::parseDecimal(value);
      valid = seconds.value_or(0) > 0;
      (option == "--wait" ? options.waitSeconds : options.timeoutSeconds) = seconds.value_or(1);
    } else if (option == "--png") {
      valid = !value.empty();
      options.pngFolder = fs::path(value);
    } else {
      valid = false;
    }
    if (!valid) return std::nullopt;
  }
  if (options.sizes.empty()) options.sizes.push_back({1280, 720});
  return options;
}

std::string pageAddress(int port, const Options& options) {
  std::string sizes;
  for (const tools::FrameSize& size : options.sizes) {
    sizes += (sizes.empty() ? "" : ",") + tools::sizeText(size);
  }
  return "http://127.0.0.1:" + std::to_string(port) + "/?sizes=" + sizes +
         "&frames=" + std::to_string(options.frames) + "&wait=" + json(options.waitSeconds).dump();
}

// A temporary folder, removed with everything in it when destroyed.
class TemporaryFolder {
 public:
  TemporaryFolder() {
    const char* base = ::getenv("TMPDIR");
    std::string pattern =
        std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/quillane-browser.XXXXXX";
    if (::mkdtemp(pattern.data()) != nullptr) path_ = pattern;
  }
  ~TemporaryFolder() {
    std::error_code ignored;
    if (!path_.empty()) fs::remove_all(path_, ignored);
  }
  const fs::path& path() const { return path_; }

 private:
  fs::path path_;
};

// The last lines of the browser's log, which say why it failed.
std::string logTail(const fs::path& log) {
  std::ifstream file(log);
  std::vector<std::string> lines;
  for (std::string line; std::getline(file, line);) lines.push_back(line);
  constexpr size_t kLines = 15;
  std::string tail;
  for (size_t i = lines.size() > kLines ? lines.size() - kLines : 0; i < lines.size(); ++i) {
    tail += "\n  " + lines[i];
  }
  return tail.empty() ? "" : "; its log ends with:" + tail;
}

int fail(const std::string& message) {
  std::fprintf(stderr, "quillane-browser-view: %s\n", message.c_str());
  return 1;
}

std::atomic<bool> interrupted{false};

// Prints the page's results; 0 when it watched every size.
int reportResults(const std::string& reportText, const Options& options) {
  const json report = json::parse(reportText, nullptr, false);
  if (!report.is_object()) return fail("the page's report is no JSON object: " + reportText);
  const char* name = browser::browserName(options.browser);
  for (json result : report.value("results", json::array())) {
    result["browser"] = name;
    std::printf("%s\n", result.dump().c_str());
  }
  if (report.contains("error")) {
    return fail(std::string(name) + ": the page got no camera: " + report.value("error", "") +
                " (" + report.value("message", "") + ")");
  }
  return 0;
}

int writePictures(const browser::PageServer& server, const fs::path& folder) {
  std::error_code error;
  fs::create_directories(folder, error);
  if (error) return fail("cannot make " + folder.string() + ": " + error.message());
  for (const auto& [size, png] : server.pictures()) {
    const fs::path path = folder / (size + ".png");
    std::ofstream file(path, std::ios::binary);
    if (!file.write(png.data(), static_cast<std::streamsize>(png.size()))) {
      return fail("cannot write " + path.string());
    }
  }
  return 0;
}

int watch(const Options& options) {
  TemporaryFolder folder;
  if (folder.path().empty()) return fail("cannot make a temporary folder");
  browser::PageServer server(browser::kCameraPage);
  if (server.port() == 0) return fail("cannot serve the page on 127.0.0.1");
  const fs::path profile = folder.path() / "profile";
  const fs::path log = folder.path() / "browser.log";
  fs::create_directories(profile);
  const browser::BrowserLaunch launch =
      browser::prepareBrowser(options.browser, profile, pageAddress(server.port(), options));
  std::string error;
  auto tree = platform::process::ProgramTree::start(
      launch.arguments, platform::process::environmentWith(launch.environment), log, error);
  if (!tree) return fail(error);

  const char* name = browser::browserName(options.browser);
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::duration<double>(options.timeoutSeconds);
  std::optional<std::string> report;
  while (!(report = server.waitForReport(std::chrono::milliseconds(100)))) {
    if (const auto status = tree->exitStatus()) {
      return fail(std::string(name) + " ended with status " + std::to_string(*status) +
                  " before the page reported" + logTail(log));
    }
    if (interrupted) return fail("interrupted");
    if (std::chrono::steady_clock::now() >= deadline) {
      return fail("no report from " + std::string(name) + " within " +
                  json(options.timeoutSeconds).dump() + " s" + logTail(log));
    }
  }
  if (!tree->stop()) return fail(std::string(name) + " does not stop");
  if (options.pngFolder) {
    if (const int status = writePictures(server, *options.pngFolder)) return status;
  }
  return reportResults(*report, options);
}

}  // namespace

int main(int argc, char** argv) {
  const std::optional<Options> options = parseOptions(argc, argv);
  if (!options) {
    std::fprintf(stderr, "%s\n", kUsage);
    return 2;
  }
  // An interrupted tool still stops its browser: the wait ends and the tree is stopped.
  struct sigaction action {};
  action.sa_handler = [](int) { interrupted = true; };
  ::sigaction(SIGINT, &action, nullptr);
  ::sigaction(SIGTERM, &action, nullptr);
  return watch(*options);
}
