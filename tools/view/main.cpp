// quillane-view: watches "Quillane Camera" through the system's camera host, as any watching
// application does, and reports what it sees: a JSON line a second and a final one, PNG pictures
// and a Y4M stream on request. Exit 0 after a normal end (also SIGINT or SIGTERM), 1 with a line
// on standard error when the camera is not found or vanishes or a file cannot be written, 2 with
// the usage line for a bad argument.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>

#include "formats/camera_identity.h"
#include "platform/camera/camera_host.h"
#include "platform/dispatch/clock.h"
#include "platform/dispatch/main_loop.h"
#include "platform/io/pipe.h"
#include "tools/view/viewer.h"

namespace {

int fail(const std::string& message) {
  std::fprintf(stderr, "%s\n", message.c_str());
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  using quillane::view::ViewOptions;
  const std::optional<ViewOptions> options = quillane::view::parseViewOptions(argc, argv);
  if (!options) {
    std::fprintf(stderr, "%s\n", quillane::view::kUsage);
    return 2;
  }
  if (options->pngFolder) {
    std::error_code error;
    std::filesystem::create_directories(*options->pngFolder, error);
    if (error) return fail("cannot make " + *options->pngFolder + ": " + error.message());
  }
  std::unique_ptr<quillane::view::Y4mStream> y4m;
  if (options->y4mPath) {
    y4m = quillane::view::Y4mStream::open(*options->y4mPath);
    if (!y4m) return fail("cannot open " + *options->y4mPath + ": " + std::strerror(errno));
  }
  platform::io::ignoreBrokenPipeSignal();

  platform::dispatch::MainLoop mainLoop;
  const auto host = platform::camera::createSystemCameraHost();
  quillane::view::Viewer viewer(host->connect(), quillane::camera_identity::deviceUIDToLookFor(),
                                *options, std::move(y4m),
                                options->y4mToStandardOutput() ? stderr : stdout,
                                platform::dispatch::hostClock(), [&mainLoop] { mainLoop.quit(); });
  viewer.start();
  mainLoop.run();
  const quillane::view::ViewOutcome outcome = viewer.finish();
  if (outcome.message) std::fprintf(stderr, "%s\n", outcome.message->c_str());
  if (outcome.exitStatus == 2) std::fprintf(stderr, "%s\n", quillane::view::kUsage);
  return outcome.exitStatus;
}
