#include "camd/command_line.h"
#include "formats/camera_identity.h"

#include <spawn.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <thread>

#include <gtest/gtest.h>

#include "tests/camd/fake_camera.h"
#include "tests/camd/frame_stream.h"
#include "tests/camd/report_capture.h"
#include "tests/platform/camera/in_process/in_process_host.h"

extern char** environ;

namespace camd {
namespace {

using nlohmann::json;

// No command run here reaches the system-extension service.
class NoExtensionService final : public platform::sysext::Manager {
 public:
  void submitRequest(std::shared_ptr<platform::sysext::Request>) override { ADD_FAILURE(); }
};

int runWith(platform::camera::CameraHost& host, std::vector<const char*> args) {
  args.insert(args.begin(), "quillane-camd");
  NoExtensionService extensions;
  return runCommandLine(static_cast<int>(args.size()), args.data(), host, extensions);
}

TEST(CommandLine, StatusAndDevicesReportAPublishedCamera) {
  testing::ReportCapture capture;
  platform::camera::InProcessCameraHost host;
  testing::FakeCamera camera(host, testing::FakeCamera::Options{.name = "Cam/era ü"});
  camera.publish();
  EXPECT_EQ(runWith(host, {"status"}), 0);
  EXPECT_EQ(runWith(host, {"devices"}), 0);
  const std::vector<std::string> lines = capture.outputLines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0], R"({"device":true,"streaming":false})");
  EXPECT_NE(lines[1].find(R"("name":"Cam\/era ü")"), std::string::npos) << lines[1];
  const json report = json::parse(lines[1]);
  EXPECT_EQ(report["uid"], quillane::camera_identity::kDeviceUID);
  ASSERT_EQ(report["streams"].size(), 2u);
  EXPECT_EQ(report["streams"][0]["direction"], 1);  // output
  EXPECT_EQ(report["streams"][1]["direction"], 0);  // sink
  EXPECT_NE(report["streams"][0]["id"], report["streams"][1]["id"]);
}

// The built program, started as a producer starts it, on a private runtime folder without a
// camera host, so that no camera running on this machine is seen.
struct ToolResult {
  int exitStatus = -1;
  std::string out;
  std::string err;
};

std::string readAll(platform::base::UniqueFd& fd) {
  std::string bytes;
  char chunk[4096];
  ssize_t got;
  while ((got = ::read(fd.get(), chunk, sizeof chunk)) > 0) bytes.append(chunk, got);
  return bytes;
}

// `wrapper` runs before the program (for example a resource limit), when given.
ToolResult runTool(std::vector<const char*> args, const std::string& input,
                   bool closeOutput = false, std::vector<const char*> wrapper = {}) {
  const std::filesystem::path runtime =
      std::filesystem::temp_directory_path() / ("camd-e2e-" + std::to_string(::getpid()));
  std::filesystem::create_directories(runtime);
  ::setenv("XDG_RUNTIME_DIR", runtime.c_str(), 1);
  ::unsetenv("PIPEWIRE_RUNTIME_DIR");
  ::unsetenv("PIPEWIRE_REMOTE");

  testing::Pipe in, out, err;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in.reader.get(), 0);
  posix_spawn_file_actions_adddup2(&actions, out.writer.get(), 1);
  posix_spawn_file_actions_adddup2(&actions, err.writer.get(), 2);
  args.insert(args.begin(), QUILLANE_CAMD_PATH);
  args.insert(args.begin(), wrapper.begin(), wrapper.end());
  args.push_back(nullptr);
  pid_t pid = 0;
  const int spawned = posix_spawnp(&pid, args[0], &actions, nullptr,
                                   const_cast<char* const*>(args.data()), environ);
  posix_spawn_file_actions_destroy(&actions);
  EXPECT_EQ(spawned, 0);
  in.reader.reset();
  out.writer.reset();
  err.writer.reset();
  if (closeOutput) out.reader.reset();

  std::thread writer([&] {
    try {
      testing::writeAll(in, input);
    } catch (const std::exception&) {
      // The tool stopped reading early; what it did is in its exit status and output.
    }
    in.writer.reset();
  });
  ToolResult result;
  std::thread errorReader([&] { result.err = readAll(err.reader); });
  if (!closeOutput) result.out = readAll(out.reader);
  errorReader.join();
  writer.join();
  int status = 0;
  ::waitpid(pid, &status, 0);
  result.exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  std::filesystem::remove_all(runtime);
  return result;
}

// The last line the program wrote, without its line feed; "" when it wrote nothing.
std::string lastLine(std::string out) {
  if (!out.empty()) out.pop_back();
  return out.substr(out.rfind('\n') + 1);  // npos + 1 is 0: the only line
}

// Without a camera. Further arguments are ignored; command words match exactly.
TEST(QuillaneCamdProgram, ExitStatusAndStreamsOfEachCommand) {
  struct Run {
    std::vector<const char*> args;
    std::string input;
    int exitStatus;
    std::string err;
    std::string lastReport;
  };
  const std::string usage = std::string(kUsage) + "\n";
  const std::string badMagic = testing::frame(2, 2) + "QLN0" + std::string(12, '\0');
  const Run cases[] = {
      {{}, "", 2, usage, ""},
      {{"Status"}, "", 2, usage, ""},
      {{"ACTIVATE"}, "", 2, usage, ""},
      {{"statu"}, "", 2, usage, ""},
      {{"status", "--verbose"}, "", 0, "", R"({"device":false,"streaming":false})"},
      {{"devices"}, "", 0, "", ""},
      {{"run"}, "", 0, "", R"({"device":false,"frames":0,"ok":true,"streaming":false})"},
      {{"run"},
       badMagic,
       1,
       "bad frame magic; stopping\n",
       R"({"device":false,"frames":0,"message":"bad frame magic","ok":false,"streaming":false})"},
  };
  for (const Run& test : cases) {
    SCOPED_TRACE(test.args.empty() ? "no command" : test.args[0]);
    const ToolResult result = runTool(test.args, test.input);
    EXPECT_EQ(result.exitStatus, test.exitStatus);
    EXPECT_EQ(result.err, test.err);
    EXPECT_EQ(lastLine(result.out), test.lastReport);
    EXPECT_TRUE(result.out.empty() || result.out.back() == '\n');
    // A run writes its first status line at once, however soon the input ends, then the final one.
    if (!test.args.empty() && test.args[0] == std::string("run")) {
      EXPECT_EQ(std::count(result.out.begin(), result.out.end(), '\n'), 2);
    }
  }
}

// GCC and clang say differently that a sanitizer is in the build.
#if defined(__clang__)
#define SANITIZED (__has_feature(address_sanitizer) || __has_feature(thread_sanitizer))
#elif defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define SANITIZED 1
#else
#define SANITIZED 0
#endif

// A frame larger than the memory at hand ends the run like a malformed stream: a clear line, a
// final status line and exit status 1, not a crash.
TEST(QuillaneCamdProgram, FrameLargerThanTheMemoryAtHandEndsTheRunWithItsFailure) {
#if SANITIZED
  GTEST_SKIP() << "sanitizers reserve more address space than the limit leaves";
#endif
  const std::string largest = testing::frameHeader(8192, 8192, 8192 * 4 * 8192);
  const ToolResult result =
      runTool({"run"}, largest, false, {"prlimit", "--as=400000000", "--"});
  EXPECT_EQ(result.exitStatus, 1);
  EXPECT_EQ(result.err, "out of memory for a frame of 268435456 bytes; stopping\n");
  EXPECT_EQ(lastLine(result.out),
            R"({"device":false,"frames":0,"message":"out of memory for a frame of 268435456 bytes","ok":false,"streaming":false})");
}

TEST(QuillaneCamdProgram, RunSurvivesAClosedStandardOutput) {
  std::string frames;
  for (int i = 0; i < 50; ++i) frames += testing::frame(64, 64);
  ToolResult result = runTool({"run"}, frames, /*closeOutput=*/true);
  EXPECT_EQ(result.exitStatus, 0);
}

}  // namespace
}  // namespace camd
