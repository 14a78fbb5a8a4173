#include "camd/command_line.h"

#include <spawn.h>
#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>
#include <thread>

#include <gtest/gtest.h>

#include "tests/camd/fake_camera.h"
#include "tests/camd/frame_stream.h"
#include "tests/camd/report_capture.h"

extern char** environ;

namespace camd {
namespace {

using nlohmann::json;

int runWith(std::vector<const char*> args) {
  args.insert(args.begin(), "quillane-camd");
  return runCommandLine(static_cast<int>(args.size()), args.data());
}

TEST(CommandLine, MissingOrUnknownCommandWordIsAUsageError) {
  testing::ReportCapture capture;
  EXPECT_EQ(runWith({}), 2);
  EXPECT_EQ(runWith({"Status"}), 2);
  EXPECT_EQ(runWith({"ACTIVATE"}), 2);
  EXPECT_EQ(runWith({"statu"}), 2);
  EXPECT_EQ(capture.errorLines(), std::vector<std::string>(4, std::string(kUsage)));
  EXPECT_TRUE(capture.outputLines().empty());
}

TEST(CommandLine, ActivationWithoutAServiceReportsFailureAndExitsZero) {
  testing::ReportCapture capture;
  EXPECT_EQ(runWith({"activate"}), 0);
  EXPECT_EQ(runWith({"deactivate"}), 0);
  ASSERT_EQ(capture.reports().size(), 2u);
  for (const json& report : capture.reports()) {
    EXPECT_EQ(report["ok"], false);
    EXPECT_EQ(report["state"], "failed");
    EXPECT_FALSE(report["message"].get<std::string>().empty());
  }
}

TEST(CommandLine, StatusIgnoresFurtherArgumentsAndReportsTheCamera) {
  testing::ReportCapture capture;
  EXPECT_EQ(runWith({"status", "--verbose"}), 0);
  testing::FakeCamera camera;
  camera.publish();
  EXPECT_EQ(runWith({"status"}), 0);
  EXPECT_EQ(capture.outputLines(),
            (std::vector<std::string>{R"({"device":false,"streaming":false})",
                                      R"({"device":true,"streaming":false})"}));
}

TEST(CommandLine, DevicesListsEachDeviceWithItsStreams) {
  testing::ReportCapture capture;
  EXPECT_EQ(runWith({"devices"}), 0);
  EXPECT_TRUE(capture.outputLines().empty());
  testing::FakeCamera camera(testing::FakeCamera::Options{.name = "Cam/era ü"});
  camera.publish();
  EXPECT_EQ(runWith({"devices"}), 0);
  ASSERT_EQ(capture.outputLines().size(), 1u);
  const std::string line = capture.outputLines()[0];
  EXPECT_NE(line.find(R"("name":"Cam\/era ü")"), std::string::npos) << line;
  const json report = json::parse(line);
  EXPECT_EQ(report["uid"], QuillaneCamera::kDefaultDeviceUID);
  ASSERT_EQ(report["streams"].size(), 2u);
  EXPECT_EQ(report["streams"][0]["direction"], 1);  // output
  EXPECT_EQ(report["streams"][1]["direction"], 0);  // sink
  EXPECT_NE(report["streams"][0]["id"], report["streams"][1]["id"]);
}

// The built program, started as a producer starts it, on a private runtime folder so that no
// camera running on this machine is seen.
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

ToolResult runTool(std::vector<const char*> args, const std::string& input,
                   bool closeOutput = false) {
  const std::filesystem::path runtime =
      std::filesystem::temp_directory_path() / ("camd-e2e-" + std::to_string(::getpid()));
  std::filesystem::create_directories(runtime);
  ::setenv("XDG_RUNTIME_DIR", runtime.c_str(), 1);

  testing::Pipe in, out, err;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in.reader.get(), 0);
  posix_spawn_file_actions_adddup2(&actions, out.writer.get(), 1);
  posix_spawn_file_actions_adddup2(&actions, err.writer.get(), 2);
  args.insert(args.begin(), QUILLANE_CAMD_PATH);
  args.push_back(nullptr);
  pid_t pid = 0;
  const int spawned = posix_spawn(&pid, QUILLANE_CAMD_PATH, &actions, nullptr,
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

TEST(QuillaneCamdProgram, UsageErrorExitsTwo) {
  ToolResult result = runTool({}, "");
  EXPECT_EQ(result.exitStatus, 2);
  EXPECT_EQ(result.err, std::string(kUsage) + "\n");
  EXPECT_EQ(result.out, "");
}

TEST(QuillaneCamdProgram, RunOnEmptyInputEndsCleanlyWithoutFrames) {
  ToolResult result = runTool({"run"}, "");
  EXPECT_EQ(result.exitStatus, 0);
  EXPECT_EQ(result.err, "");
  EXPECT_EQ(result.out.substr(result.out.rfind('\n', result.out.size() - 2) + 1),
            "{\"device\":false,\"frames\":0,\"ok\":true,\"streaming\":false}\n");
}

TEST(QuillaneCamdProgram, RunStopsAtABadMagicWithExitOne) {
  ToolResult result = runTool({"run"}, testing::frame(2, 2) + "QLN0" + std::string(12, '\0'));
  EXPECT_EQ(result.exitStatus, 1);
  EXPECT_EQ(result.err, "bad frame magic; stopping\n");
  const json last =
      json::parse(result.out.substr(result.out.rfind('\n', result.out.size() - 2) + 1));
  EXPECT_EQ(last, (json{{"device", false},
                        {"frames", 0},
                        {"message", "bad frame magic"},
                        {"ok", false},
                        {"streaming", false}}));
}

TEST(QuillaneCamdProgram, RunSurvivesAClosedStandardOutput) {
  std::string frames;
  for (int i = 0; i < 50; ++i) frames += testing::frame(64, 64);
  ToolResult result = runTool({"run"}, frames, /*closeOutput=*/true);
  EXPECT_EQ(result.exitStatus, 0);
}

}  // namespace
}  // namespace camd
