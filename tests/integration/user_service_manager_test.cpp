// The activated camera under the user's service manager: a private `systemd --user` on the test's
// own folders, where this machine can run one; skipped otherwise, saying why.
#include <signal.h>

#include <filesystem>
#include <memory>

#include <gtest/gtest.h>

#include "camd/quillane_camera.h"
#include "platform/sysext/service_folders_linux.h"
#include "tests/integration/camera_watcher.h"
#include "tests/integration/child_process.h"

namespace quillane::integration {
namespace {

using namespace std::chrono_literals;

const std::filesystem::path kFolder =
    ::testing::TempDir() + "user-service-manager-" + std::to_string(::getpid());
const platform::sysext::ServiceFolders kFolders{.data = kFolder / "data",
                                                .state = kFolder / "state",
                                                .config = kFolder / "config",
                                                .runtime = kFolder / "run"};
// Nothing reaches the session bus of whoever runs the test.
const std::map<std::string, std::string> kEnvironment{
    {"XDG_DATA_HOME", kFolders.data},
    {"XDG_STATE_HOME", kFolders.state},
    {"XDG_CONFIG_HOME", kFolders.config},
    {"XDG_RUNTIME_DIR", kFolders.runtime},
    {"DBUS_SESSION_BUS_ADDRESS", "unix:path=" + (kFolders.runtime / "no-bus").string()}};

// The last line a program wrote, run to its end on the test's folders; empty after a failure.
std::string lastLine(std::vector<std::string> arguments) {
  ChildProcess program(std::move(arguments), kEnvironment);
  const bool succeeded = program.waitForExit(30s) == 0 && !program.outputLines().empty();
  return succeeded ? program.outputLines().back() : "";
}

TEST(UserServiceManager, TheActivatedCameraIsBackWithinFiveSecondsAfterACrash) {
  std::filesystem::create_directories(kFolders.runtime);
  std::filesystem::permissions(kFolders.runtime, std::filesystem::perms::owner_all);
  ChildProcess manager({"/lib/systemd/systemd", "--user"}, kEnvironment);
  // Whatever happens, the camera and the manager go with the test.
  const std::shared_ptr<void> cleanup(nullptr, [&](void*) {
    lastLine({QUILLANE_CAMD_PATH, "deactivate"});
    manager.signal(SIGTERM);
    manager.waitForExit(10s);
    std::filesystem::remove_all(kFolder);
  });
  const auto systemctl = [](std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), {"systemctl", "--user"});
    return lastLine(std::move(arguments));
  };
  const bool answers = waitUntil(
      [&] { return manager.waitForExit(0ms) || !systemctl({"is-system-running"}).empty(); }, 10s);
  if (const std::optional<int> ended = manager.waitForExit(0ms)) {
    // For example on a machine not booted with systemd, or in a container.
    GTEST_SKIP() << "no user service manager can run here: systemd --user ended with status "
                 << *ended << " " << manager.errorText();
  }
  ASSERT_TRUE(answers) << "systemd --user runs but does not answer";
  const std::string unit =
      platform::sysext::ExtensionFiles(kFolders, camd::QuillaneCamera::extensionID())
          .unit.filename();
  const auto mainPid = [&] {
    return std::atoi(systemctl({"show", "--property=MainPID", "--value", unit}).c_str());
  };
  auto host = platform::camera::createSystemCameraHost();
  const auto cameraIsUp = [&] { return findCamera(*host->connect()).device != 0; };

  EXPECT_NE(lastLine({QUILLANE_CAMD_PATH, "activate"}).find("completed"), std::string::npos);
  EXPECT_EQ(systemctl({"is-active", unit}), "active");
  ASSERT_TRUE(waitUntil(cameraIsUp, 5s));
  const pid_t crashed = mainPid();
  ASSERT_GT(crashed, 0);
  ASSERT_EQ(::kill(crashed, SIGSEGV), 0);
  EXPECT_TRUE(waitUntil([&] { return mainPid() > 0 && mainPid() != crashed && cameraIsUp(); }, 5s));

  EXPECT_NE(lastLine({QUILLANE_CAMD_PATH, "deactivate"}).find("completed"), std::string::npos);
  EXPECT_EQ(systemctl({"is-active", unit}), "");  // inactive: systemctl says so and fails
}

}  // namespace
}  // namespace quillane::integration
