// The activated camera under the user's service manager, end to end: a private `systemd --user`
// on the test's own folders, where this machine can run one; skipped otherwise, saying why.
#include <signal.h>

#include <filesystem>
#include <map>
#include <memory>
#include <string>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "camd/quillane_camera.h"
#include "platform/camera/camera_host.h"
#include "platform/sysext/service_folders_linux.h"
#include "tests/integration/camera_watcher.h"
#include "tests/integration/child_process.h"

namespace quillane::integration {
namespace {

using namespace std::chrono_literals;

class UserServiceManagerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const auto& made : {folders.data, folders.state, folders.config}) {
      std::filesystem::create_directories(made);
    }
    std::filesystem::create_directories(folders.runtime);
    std::filesystem::permissions(folders.runtime, std::filesystem::perms::owner_all);
    const std::filesystem::path systemd = "/lib/systemd/systemd";
    if (!std::filesystem::exists(systemd)) GTEST_SKIP() << systemd << " is not installed";
    manager =
        std::make_unique<ChildProcess>(std::vector<std::string>{systemd, "--user"}, environment);
    const bool answers = waitUntil(
        [&] { return manager->waitForExit(0ms) || !systemctl({"is-system-running"}).empty(); },
        10s);
    if (const std::optional<int> ended = manager->waitForExit(0ms)) {
      // For example a machine not booted with systemd, or a container without cgroups of its own.
      GTEST_SKIP() << "no user service manager can run here: systemd --user ended with status "
                   << *ended << " " << manager->errorText();
    }
    ASSERT_TRUE(answers) << "systemd --user runs but does not answer";
  }
  void TearDown() override {
    std::error_code ignored;
    if (manager) {
      run({QUILLANE_CAMD_PATH, "deactivate"});
      manager->signal(SIGTERM);
      manager->waitForExit(10s);
    }
    std::filesystem::remove_all(folder, ignored);
  }

  // The output of a program run to its end on the test's folders; empty after a failure.
  std::string run(std::vector<std::string> arguments) {
    ChildProcess program(std::move(arguments), environment);
    const std::optional<int> status = program.waitForExit(30s);
    return status == 0 && !program.outputLines().empty() ? program.outputLines().back() : "";
  }
  std::string systemctl(std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), {"systemctl", "--user"});
    return run(std::move(arguments));
  }
  // The process the manager runs for the unit; 0 for none.
  pid_t mainPid() {
    const std::string pid = systemctl({"show", "--property=MainPID", "--value", unit.filename()});
    return pid.empty() ? 0 : std::stoi(pid);
  }
  bool cameraIsUp() { return findCamera(*host->connect()).device != 0; }

  const std::filesystem::path folder =
      ::testing::TempDir() + "user-service-manager-" + std::to_string(::getpid());
  const platform::sysext::ServiceFolders folders{.data = folder / "data",
                                                 .state = folder / "state",
                                                 .config = folder / "config",
                                                 .runtime = folder / "run"};
  const std::filesystem::path unit =
      platform::sysext::ExtensionFiles(folders, camd::QuillaneCamera::extensionID()).unit;
  // Nothing reaches the session bus of whoever runs the test.
  const std::map<std::string, std::string> environment{
      {"XDG_DATA_HOME", folders.data},
      {"XDG_STATE_HOME", folders.state},
      {"XDG_CONFIG_HOME", folders.config},
      {"XDG_RUNTIME_DIR", folders.runtime},
      {"DBUS_SESSION_BUS_ADDRESS", "unix:path=" + (folders.runtime / "no-bus").string()}};
  std::unique_ptr<ChildProcess> manager;
  std::unique_ptr<platform::camera::CameraHost> host = platform::camera::createSystemCameraHost();
};

TEST_F(UserServiceManagerTest, TheActivatedCameraIsBackWithinFiveSecondsAfterACrash) {
  EXPECT_NE(run({QUILLANE_CAMD_PATH, "activate"}).find(R"("state":"completed")"),
            std::string::npos);
  EXPECT_EQ(systemctl({"is-active", unit.filename()}), "active");
  ASSERT_TRUE(waitUntil([&] { return cameraIsUp(); }, 5s));
  const pid_t crashed = mainPid();
  ASSERT_GT(crashed, 0);

  ASSERT_EQ(::kill(crashed, SIGSEGV), 0);
  EXPECT_TRUE(waitUntil(
      [&] {
        const pid_t now = mainPid();
        return now != 0 && now != crashed && cameraIsUp();
      },
      5s));

  EXPECT_NE(run({QUILLANE_CAMD_PATH, "deactivate"}).find(R"("state":"completed")"),
            std::string::npos);
  EXPECT_FALSE(std::filesystem::exists(unit));
}

}  // namespace
}  // namespace quillane::integration
