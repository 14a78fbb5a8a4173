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

TEST(CommandLine, StatusAndDevicesReportAPublishedCamera) {
  testing::ReportCapture capture;
  testing::FakeCamera camera(testing::FakeCamera::Options{.name = "Cam/era ü"});
  camera.publish();
  EXPECT_EQ(runWith({"status"}), 0);
  EXPECT_EQ(runWith({"devices"}), 0);
  const std::vector<std::string> lines = capture.outputLines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0], R"({"device":true,"streaming":false})");
  EXPECT_NE(lines[1].find(R"("name":"Cam\/era ü")"), std::string::npos) << lines[1];
  const json report = json::parse(lines[1]);
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
  }
}

TEST(QuillaneCamdProgram, RunSurvivesAClosedStandardOutput) {
  std::string frames;
  for (int i = 0; i < 50; ++i) frames += testing::frame(64, 64);
  ToolResult result = runTool({"run"}, frames, /*closeOutput=*/true);
  EXPECT_EQ(result.exitStatus, 0);
}

}  // namespace
}  // namespace camd
