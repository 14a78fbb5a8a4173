#include "camd/activation.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>

#include <fstream>
#include <functional>
#include <map>
#include <thread>

#include <gtest/gtest.h>

#include "camd/quillane_camera.h"
#include "tests/camd/report_capture.h"
#include "tests/platform/sysext/service_sandbox.h"

namespace camd {
namespace {

using nlohmann::json;
using platform::sysext::Request;
using platform::sysext::RequestResult;

constexpr uint64_t kTimeoutNanos = 120'000'000'000;

const json kCompleted = {{"ok", true}, {"state", "completed"}, {"message", "done"}};
const json kNeedsApproval = {
    {"ok", true},
    {"state", "needs-approval"},
    {"message",
     "Approve Quillane Camera in System Settings > General > Login Items & Extensions > Camera "
     "Extensions"}};

// Answers each request with the test's script on a thread of its own, as the service answers
// from its own queue.
class ScriptedManager final : public platform::sysext::Manager {
 public:
  using Script = std::function<void(const Request&)>;

  explicit ScriptedManager(Script script) : script_(std::move(script)) {}
  ~ScriptedManager() override {
    if (answering_.joinable()) answering_.join();
  }

  void submitRequest(std::shared_ptr<Request> request) override {
    submitted = request;
    answering_ = std::thread([this, request] { script_(*request); });
  }

  std::shared_ptr<Request> submitted;

 private:
  Script script_;
  std::thread answering_;
};

TEST(ActivationDelegate, ReportsTheAnswerThatEndsTheRequest) {
  const platform::sysext::ExtensionProperties installed{"id", "1.0", "10"};
  const platform::sysext::ExtensionProperties replacement{"id", "2.0", "20"};
  auto action = platform::sysext::ReplacementAction::kCancel;
  struct Case {
    const char* name;
    bool activate;
    ScriptedManager::Script script;
    json report;
    std::vector<std::string> errorLines;
  };
  const Case cases[] = {
      {"needs approval",
       true,
       [](const Request& r) { r.deliverNeedsUserApproval(); },
       kNeedsApproval,
       {}},
      {"completed",
       false,
       [](const Request& r) { r.deliverFinish(RequestResult::kCompleted); },
       kCompleted,
       {}},
      {"after reboot",
       true,
       [](const Request& r) { r.deliverFinish(RequestResult::kWillCompleteAfterReboot); },
       {{"ok", true}, {"state", "reboot-required"}, {"message", "will complete after reboot"}},
       {}},
      {"another result code",
       true,
       [](const Request& r) { r.deliverFinish(static_cast<RequestResult>(7)); },
       {{"ok", true}, {"state", "reboot-required"}, {"message", "will complete after reboot"}},
       {}},
      {"failed with a negative code",
       false,
       [](const Request& r) {
         r.deliverFailure({"ServiceDomain", -42, "it broke"});
       },
       {{"ok", false}, {"state", "failed"}, {"message", "ServiceDomain -42: it broke"}},
       {}},
      {"replacing an older version",
       true,
       [&](const Request& r) {
         action = r.askReplacement(installed, replacement);
         r.deliverFinish(RequestResult::kCompleted);
       },
       kCompleted,
       {"replacing 1.0 (10) with 2.0 (20)"}},
  };
  for (const Case& test : cases) {
    SCOPED_TRACE(test.name);
    testing::ReportCapture capture;
    ScriptedManager manager(test.script);
    EXPECT_EQ(ActivationDelegate::run(test.activate, manager, platform::dispatch::hostClock()),
              test.report);
    EXPECT_EQ(capture.errorLines(), test.errorLines);
    ASSERT_TRUE(manager.submitted);
    EXPECT_EQ(manager.submitted->kind(),
              test.activate ? Request::Kind::kActivation : Request::Kind::kDeactivation);
    EXPECT_EQ(manager.submitted->identifier(), "org.quillane.app.camera");
    EXPECT_EQ(manager.submitted->queue().label(), "org.quillane.app.camd.sysext");
  }
  EXPECT_EQ(action, platform::sysext::ReplacementAction::kReplace);
}

TEST(ActivationDelegate, LaterAnswersNeverTearTheReport) {
  const json failed = {{"ok", false}, {"state", "failed"}, {"message", "D 1: later"}};
  ScriptedManager manager([](const Request& r) {
    r.deliverNeedsUserApproval();
    for (int i = 0; i < 2000; ++i) {
      r.deliverFinish(RequestResult::kCompleted);
      r.deliverFailure({"D", 1, "later"});
    }
  });
  const json report = ActivationDelegate::run(true, manager, platform::dispatch::hostClock());
  EXPECT_TRUE(report == kNeedsApproval || report == kCompleted || report == failed) << report;
}

TEST(ActivationDelegate, WaitsUpTo120SecondsOnItsClock) {
  auto clock = std::make_shared<platform::dispatch::ManualClock>();
  ScriptedManager lastMoment([&](const Request& r) {
    clock->advance(kTimeoutNanos - 1);
    r.deliverFinish(RequestResult::kCompleted);
  });
  EXPECT_EQ(ActivationDelegate::run(true, lastMoment, clock), kCompleted);

  // An answer after the timeout finds nobody waiting and nothing to change.
  platform::dispatch::Semaphore timedOut;
  ScriptedManager tooLate([&](const Request& r) {
    clock->advance(kTimeoutNanos);
    timedOut.wait();
    r.deliverFinish(RequestResult::kCompleted);
  });
  EXPECT_EQ(ActivationDelegate::run(true, tooLate, clock),
            json({{"ok", false},
                  {"state", "timeout"},
                  {"message", "no answer from sysextd after 120 s"}}));
  timedOut.signal();
}

// quillane-camd as a user runs it, with the bundle built next to it, against private folders.
class ActivationProgramTest : public ::testing::Test {
 protected:
  struct Run {
    int exitStatus = -1;
    std::string out;
    std::string err;
  };

  pid_t start(const char* command) {
    const std::string name = command + std::to_string(++runs_);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, (sandbox.root() / (name + ".out")).c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&actions, 2, (sandbox.root() / (name + ".err")).c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0600);
    const std::vector<std::string> environment = sandbox.environment();
    std::vector<const char*> envp;
    for (const std::string& variable : environment) envp.push_back(variable.c_str());
    envp.push_back(nullptr);
    const char* argv[] = {QUILLANE_CAMD_PATH, command, nullptr};
    pid_t pid = -1;
    EXPECT_EQ(posix_spawn(&pid, QUILLANE_CAMD_PATH, &actions, nullptr,
                          const_cast<char* const*>(argv), const_cast<char* const*>(envp.data())),
              0);
    posix_spawn_file_actions_destroy(&actions);
    names_[pid] = name;
    return pid;
  }

  Run finish(pid_t pid) {
    Run run;
    int status = 0;
    if (::waitpid(pid, &status, 0) == pid && WIFEXITED(status))
      run.exitStatus = WEXITSTATUS(status);
    run.out = readFile(sandbox.root() / (names_[pid] + ".out"));
    run.err = readFile(sandbox.root() / (names_[pid] + ".err"));
    return run;
  }

  Run camd(const char* command) { return finish(start(command)); }

  static std::string readFile(const std::filesystem::path& path) {
    std::ifstream file(path);
    return std::string(std::istreambuf_iterator<char>(file), {});
  }

  // The processes that run the installed executable, also one deleted since.
  int installedProcesses() const {
    const std::string executable = (installed() / "quillane-camera-extension").string();
    int count = 0;
    for (const auto& process : std::filesystem::directory_iterator("/proc")) {
      std::error_code ended;
      if (std::filesystem::read_symlink(process.path() / "exe", ended)
              .string()
              .starts_with(executable)) {
        ++count;
      }
    }
    return count;
  }

  std::filesystem::path installed() const {
    return sandbox.files(QuillaneCamera::extensionID()).installed;
  }
  std::optional<pid_t> runningInstance() const {
    return sandbox.runningInstance(QuillaneCamera::extensionID());
  }

  platform::sysext::testing::ServiceSandbox sandbox;

 private:
  int runs_ = 0;
  std::map<pid_t, std::string> names_;
};

TEST_F(ActivationProgramTest, ActivatesReplacesAndDeactivatesTheBuiltCamera) {
  const std::string completed = R"({"message":"done","ok":true,"state":"completed"})"
                                "\n";
  const json built =
      json::parse(readFile(std::filesystem::path(QUILLANE_CAMD_PATH).parent_path() /
                           (QuillaneCamera::extensionID() + ".systemextension") / "manifest.json"));
  const std::string version = built["bundleShortVersion"].get<std::string>() + " (" +
                              built["bundleVersion"].get<std::string>() + ")";

  Run run = camd("activate");
  EXPECT_EQ(run.exitStatus, 0);
  EXPECT_EQ(run.out, completed);
  EXPECT_EQ(run.err, "");
  const std::optional<pid_t> first = runningInstance();
  ASSERT_TRUE(first.has_value());
  EXPECT_EQ(installedProcesses(), 1);

  run = camd("activate");
  EXPECT_EQ(run.exitStatus, 0);
  EXPECT_EQ(run.out, completed);
  EXPECT_EQ(run.err, "replacing " + version + " with " + version + "\n");
  EXPECT_TRUE(platform::sysext::testing::hasEnded(*first));
  EXPECT_NE(runningInstance(), first);
  EXPECT_EQ(installedProcesses(), 1);

  run = camd("deactivate");
  EXPECT_EQ(run.exitStatus, 0);
  EXPECT_EQ(run.out, completed);
  EXPECT_EQ(installedProcesses(), 0);
  EXPECT_FALSE(std::filesystem::exists(installed()));

  run = camd("deactivate");
  EXPECT_EQ(run.exitStatus, 0);
  EXPECT_EQ(
      run.out,
      R"({"message":"SystemExtensionErrorDomain 4: org.quillane.app.camera is not installed","ok":false,"state":"failed"})"
      "\n");
}

TEST_F(ActivationProgramTest, TwoActivationsAtOnceLeaveOneInstance) {
  const pid_t one = start("activate");
  const pid_t other = start("activate");
  for (const Run& run : {finish(one), finish(other)}) {
    EXPECT_EQ(run.exitStatus, 0);
    EXPECT_EQ(json::parse(run.out)["state"], "completed") << run.out;
  }
  EXPECT_TRUE(runningInstance().has_value());
  EXPECT_EQ(installedProcesses(), 1);
}

}  // namespace
}  // namespace camd
