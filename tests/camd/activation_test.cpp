#include "camd/activation.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/wait.h>

#include <cstdlib>

#include <fstream>
#include <functional>
#include <thread>

#include <gtest/gtest.h>

#include "camd/quillane_camera.h"
#include "platform/sysext/extension_service_linux.h"
#include "tests/camd/report_capture.h"
#include "tests/platform/sysext/service_sandbox.h"

namespace camd {
namespace {

using nlohmann::json;
using platform::sysext::Request;
using platform::sysext::RequestResult;

constexpr uint64_t kTimeoutNanos = 120'000'000'000;
constexpr uint64_t kLateAnswerNanos = 5'000'000'000;
const json kTimeout = {
    {"ok", false}, {"state", "timeout"}, {"message", "no answer from sysextd after 120 s"}};

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
  using Script = std::function<void(Request&)>;

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
  auto action = platform::sysext::ReplacementAction::kCancel;
  const auto finish = [](int64_t code) {
    return [code](const Request& r) { r.deliverFinish(static_cast<RequestResult>(code)); };
  };
  const auto approve = [](const Request& r) { r.deliverNeedsUserApproval(); };
  const auto fail = [](const Request& r) { r.deliverFailure({"Domain", -42, "it broke"}); };
  const auto replace = [&](const Request& r) {
    action = r.askReplacement({"id", "1.0", "10"}, {"id", "2.0", "20"});
    r.deliverFinish(RequestResult::kCompleted);
  };
  const std::string rebootRequired =
      R"({"message":"will complete after reboot","ok":true,"state":"reboot-required"})";
  const std::string failed = R"({"message":"Domain -42: it broke","ok":false,"state":"failed"})";
  struct Case {
    const char* name;
    bool activate;
    ScriptedManager::Script script;
    std::string report;
    std::vector<std::string> errorLines;
  };
  const Case cases[] = {
      {"needs approval", true, approve, kNeedsApproval.dump(), {}},
      {"completed", false, finish(0), kCompleted.dump(), {}},
      {"after reboot", true, finish(1), rebootRequired, {}},
      {"another result code", true, finish(7), rebootRequired, {}},
      {"failed with a negative code", false, fail, failed, {}},
      {"replacing", true, replace, kCompleted.dump(), {"replacing 1.0 (10) with 2.0 (20)"}},
  };
  for (const Case& test : cases) {
    SCOPED_TRACE(test.name);
    testing::ReportCapture capture;
    ScriptedManager manager(test.script);
    EXPECT_EQ(
        ActivationDelegate::run(test.activate, manager, platform::dispatch::hostClock()).dump(),
        test.report);
    EXPECT_EQ(capture.errorLines(), test.errorLines);
    ASSERT_TRUE(manager.submitted);
    EXPECT_EQ(manager.submitted->kind(),
              test.activate ? Request::Kind::kActivation : Request::Kind::kDeactivation);
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

// An answer up to the last moment counts; at the timeout a request the service has not begun is
// canceled and never begins, and one it has begun is given 5 s more to answer.
TEST(ActivationDelegate, WaitsUpTo120SecondsOnItsClockAndCancelsWhatHasNotBegun) {
  auto clock = std::make_shared<platform::dispatch::ManualClock>();
  ScriptedManager lastMoment([&](Request& r) {
    clock->advance(kTimeoutNanos - 1);
    r.deliverFinish(RequestResult::kCompleted);
  });
  EXPECT_EQ(ActivationDelegate::run(true, lastMoment, clock), kCompleted);

  ScriptedManager begunInTime([&](Request& r) {
    ASSERT_TRUE(r.beginPerforming());
    clock->advance(kTimeoutNanos + kLateAnswerNanos - 1);
    r.deliverFinish(RequestResult::kCompleted);
  });
  EXPECT_EQ(ActivationDelegate::run(true, begunInTime, clock), kCompleted);

  platform::dispatch::Semaphore timedOut;
  ScriptedManager neverBegun([&](Request& r) {
    clock->advance(kTimeoutNanos);
    timedOut.wait();
    EXPECT_FALSE(r.beginPerforming());
  });
  EXPECT_EQ(ActivationDelegate::run(true, neverBegun, clock), kTimeout);
  timedOut.signal();

  platform::dispatch::Semaphore timedOutLate;
  ScriptedManager begunButSilent([&](Request& r) {
    ASSERT_TRUE(r.beginPerforming());
    clock->advance(kTimeoutNanos + kLateAnswerNanos);
    timedOutLate.wait();
    r.deliverFinish(RequestResult::kCompleted);  // finds nobody waiting
  });
  EXPECT_EQ(ActivationDelegate::run(true, begunButSilent, clock), kTimeout);
  timedOutLate.signal();
}

// A process took the request lock and was stopped (as with Ctrl-Z): the timeout report, the
// service ends while the lock is still held, and the request acts neither then nor once the lock
// is free.
TEST(ActivationService, ALockHeldForEverEndsInTheTimeoutAndTheRequestNeverActs) {
  platform::sysext::testing::ServiceSandbox sandbox;
  const platform::sysext::ExtensionFiles files = sandbox.files(QuillaneCamera::extensionID());
  files.createLockFolder();
  const pid_t holder = ::fork();
  if (holder == 0) {
    const int lock = ::open(files.requestLock.c_str(), O_RDWR | O_CREAT, 0600);
    if (lock < 0 || ::flock(lock, LOCK_EX) != 0) ::_exit(1);
    ::raise(SIGSTOP);
    ::_exit(0);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(holder, &status, WUNTRACED), holder);
  ASSERT_TRUE(WIFSTOPPED(status));

  auto service = std::make_unique<platform::sysext::ExtensionService>(
      platform::sysext::ExtensionService::Options{
          .folders = sandbox.folders(),
          .bundles = sandbox.root() / "bundles",
          .bundle = sandbox.writeBundle(
              "one", platform::sysext::testing::manifest(QuillaneCamera::extensionID(), "1", "1")),
          .launcher = QUILLANE_SYSEXT_LAUNCH_PATH,
          .serviceManager = sandbox.refusingManager()});
  auto clock = std::make_shared<platform::dispatch::ManualClock>();
  // Hands the request to the service, then lets the tool's clock run to the timeout.
  ScriptedManager timingOut([&](Request&) {
    service->submitRequest(timingOut.submitted);
    clock->advance(kTimeoutNanos);
  });
  EXPECT_EQ(ActivationDelegate::run(true, timingOut, clock), kTimeout);

  platform::dispatch::Semaphore ended;
  std::thread ending([&] {
    service.reset();
    ended.signal();
  });
  EXPECT_TRUE(ended.waitUntil(platform::dispatch::hostClock()->nowNanos() + 10'000'000'000));
  ::kill(holder, SIGKILL);
  ::waitpid(holder, nullptr, 0);
  ending.join();
  EXPECT_FALSE(std::filesystem::exists(files.installed));
  EXPECT_FALSE(std::filesystem::exists(files.autostartEntry));
  EXPECT_FALSE(sandbox.runningInstance(QuillaneCamera::extensionID()));
}

// quillane-camd as a user runs it, with the bundle the build made, against private folders.
class ActivationProgramTest : public ::testing::Test {
 protected:
  struct Run {
    int exitStatus;
    std::string out;
    std::string err;
    bool operator==(const Run&) const = default;
  };

  // A shell command that runs `command` on the sandbox, with no other bundle, PipeWire daemon or
  // session bus named, writing to the files `name`.out and `name`.err in the sandbox.
  std::string commandLine(const std::string& command, const std::string& name) const {
    const platform::sysext::ServiceFolders folders = sandbox.folders();
    return "env -u QLN_SYSEXT_BUNDLE -u PIPEWIRE_REMOTE -u PIPEWIRE_RUNTIME_DIR "
           "DBUS_SESSION_BUS_ADDRESS=unix:path=" +
           (folders.runtime / "no-bus").string() + " XDG_DATA_HOME=" + folders.data.string() +
           " XDG_STATE_HOME=" + folders.state.string() +
           " XDG_CONFIG_HOME=" + folders.config.string() +
           " XDG_RUNTIME_DIR=" + folders.runtime.string() + " " QUILLANE_CAMD_PATH " " + command +
           " >" + output(name, ".out").string() + " 2>" + output(name, ".err").string();
  }
  std::filesystem::path output(const std::string& name, const char* stream) const {
    return sandbox.root() / (name + stream);
  }
  Run camd(const std::string& command) {
    const int status = std::system(commandLine(command, "camd").c_str());
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, readFile(output("camd", ".out")),
            readFile(output("camd", ".err"))};
  }

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
      count += std::filesystem::read_symlink(process.path() / "exe", ended)
                   .string()
                   .starts_with(executable);
    }
    return count;
  }

  platform::sysext::ExtensionFiles files() const {
    return sandbox.files(QuillaneCamera::extensionID());
  }
  std::filesystem::path installed() const { return files().installed; }
  std::optional<pid_t> runningInstance() const {
    return sandbox.runningInstance(QuillaneCamera::extensionID());
  }

  platform::sysext::testing::ServiceSandbox sandbox;
};

TEST_F(ActivationProgramTest, ActivatesReplacesAndDeactivatesTheBuiltCamera) {
  const std::string completed = R"({"message":"done","ok":true,"state":"completed"})"
                                "\n";
  const json built =
      json::parse(readFile(std::filesystem::path(QUILLANE_SYSEXT_FOLDER_PATH) /
                           (QuillaneCamera::extensionID() + ".systemextension") / "manifest.json"));
  const std::string version = built["bundleShortVersion"].get<std::string>() + " (" +
                              built["bundleVersion"].get<std::string>() + ")";

  EXPECT_EQ(camd("activate"), (Run{0, completed, ""}));
  const std::optional<pid_t> first = runningInstance();
  ASSERT_TRUE(first.has_value());
  EXPECT_EQ(installedProcesses(), 1);
  // No user service manager runs units from the sandbox's folders.
  EXPECT_TRUE(std::filesystem::exists(files().autostartEntry));

  EXPECT_EQ(camd("activate"),
            (Run{0, completed, "replacing " + version + " with " + version + "\n"}));
  EXPECT_TRUE(platform::sysext::testing::hasEnded(*first));
  EXPECT_EQ(installedProcesses(), 1);

  EXPECT_EQ(camd("deactivate"), (Run{0, completed, ""}));
  EXPECT_EQ(installedProcesses(), 0);
  EXPECT_FALSE(std::filesystem::exists(installed()));
  EXPECT_FALSE(std::filesystem::exists(files().autostartEntry));

  const std::string notInstalled = R"({"message":"SystemExtensionErrorDomain 4: )" +
                                   QuillaneCamera::extensionID() +
                                   R"( is not installed","ok":false,"state":"failed"})"
                                   "\n";
  EXPECT_EQ(camd("deactivate"), (Run{0, notInstalled, ""}));
}

TEST_F(ActivationProgramTest, TwoActivationsAtOnceLeaveOneInstance) {
  ASSERT_EQ(std::system((commandLine("activate", "one") + " & " + commandLine("activate", "other") +
                         "; wait")
                            .c_str()),
            0);
  for (const char* name : {"one", "other"}) {
    const std::string out = readFile(output(name, ".out"));
    EXPECT_EQ(json::parse(out)["state"], "completed") << out;
  }
  EXPECT_TRUE(runningInstance().has_value());
  EXPECT_EQ(installedProcesses(), 1);
}

}  // namespace
}  // namespace camd
