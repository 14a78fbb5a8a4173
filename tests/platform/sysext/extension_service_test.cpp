#include "platform/sysext/extension_service_linux.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>

#include <gtest/gtest.h>

#include "platform/dispatch/semaphore.h"
#include "platform/faults/fault_injection.h"
#include "tests/platform/sysext/service_sandbox.h"

namespace platform::sysext {
namespace {

using testing::manifest;
using Answers = std::vector<std::string>;

constexpr char kIdentifier[] = "org.example.camera";

// Writes down each answer as a line ("replace 1.0 (10) with 2.0 (20)", "finished 0", "failed
// <domain> <code>") and answers the replacement question as told. Runs on the request's queue.
class RecordingDelegate final : public RequestDelegate {
 public:
  explicit RecordingDelegate(ReplacementAction action) : action_(action) {}

  ReplacementAction actionForReplacingExtension(const ExtensionProperties& existing,
                                                const ExtensionProperties& replacement) override {
    answers.push_back("replace " + existing.bundleShortVersion + " (" + existing.bundleVersion +
                      ") with " + replacement.bundleShortVersion + " (" +
                      replacement.bundleVersion + ")");
    return action_;
  }
  void requestNeedsUserApproval() override { ADD_FAILURE() << "no approval is ever needed"; }
  void requestDidFinish(RequestResult result) override {
    end("finished " + std::to_string(static_cast<int64_t>(result)));
  }
  void requestDidFail(const Error& error) override {
    EXPECT_FALSE(error.localizedDescription.empty());
    end("failed " + error.domain + " " + std::to_string(error.code));
  }

  Answers answers;  // written on the request's queue before `ended` is signalled
  dispatch::Semaphore ended;

 private:
  void end(std::string answer) {
    answers.push_back(std::move(answer));
    ended.signal();
  }

  ReplacementAction action_;
};

class ExtensionServiceTest : public ::testing::Test {
 protected:
  // Performs one request on a service that takes its bundle from `bundle`.
  Answers perform(Request::Kind kind, const std::filesystem::path& bundle,
                  ReplacementAction action = ReplacementAction::kReplace) {
    ExtensionService service({.folders = sandbox.folders(),
                              .bundles = sandbox.root() / "bundles",
                              .bundle = bundle,
                              .launcher = QUILLANE_SYSEXT_LAUNCH_PATH,
                              .serviceManager = manager,
                              .stopGrace = std::chrono::milliseconds(200)});
    auto queue = std::make_shared<dispatch::SerialQueue>("test.sysext");
    auto request = kind == Request::Kind::kActivation
                       ? Request::activationRequest(kIdentifier, queue)
                       : Request::deactivationRequest(kIdentifier, queue);
    auto delegate = std::make_shared<RecordingDelegate>(action);
    request->setDelegate(delegate);
    service.submitRequest(request);
    EXPECT_TRUE(delegate->ended.waitUntil(dispatch::hostClock()->nowNanos() + 30'000'000'000));
    return delegate->answers;
  }
  Answers activate(const std::filesystem::path& bundle,
                   ReplacementAction action = ReplacementAction::kReplace) {
    return perform(Request::Kind::kActivation, bundle, action);
  }
  Answers deactivate() { return perform(Request::Kind::kDeactivation, "unused"); }

  static std::string read(const std::filesystem::path& file) {
    std::ifstream stream(file);
    return std::string(std::istreambuf_iterator<char>(stream), {});
  }
  std::optional<pid_t> instance() const { return sandbox.runningInstance(kIdentifier); }
  // Waits until the extension's log holds exactly `text`.
  bool logReads(const std::string& text) const {
    return testing::waitFor([&] { return read(sandbox.files(kIdentifier).log) == text; });
  }

  // The files and links in `folder` and below.
  static std::vector<std::string> filesIn(const std::filesystem::path& folder) {
    std::vector<std::string> found;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(folder)) {
      if (!entry.is_directory()) found.push_back(entry.path().string());
    }
    return found;
  }

  testing::ServiceSandbox sandbox;
  const ExtensionFiles files = sandbox.files(kIdentifier);
  std::filesystem::path manager = sandbox.refusingManager();
  const Answers finished = {"finished 0"};
};

// Replaced by a newer copy; kept when the replacement is canceled or does not start.
TEST_F(ExtensionServiceTest, ActivatesReplacesOrKeepsAndDeactivatesADetachedInstance) {
  const std::string first = manifest(kIdentifier, "1.0", "10");
  const std::string second = manifest(kIdentifier, "2.0", "20");
  const std::filesystem::path& installed = files.installed;
  EXPECT_EQ(activate(sandbox.writeBundle("first", first)), finished);
  const std::optional<pid_t> firstPid = instance();
  ASSERT_TRUE(firstPid.has_value());
  EXPECT_EQ(read(installed / "manifest.json"), first);
  EXPECT_NE(::getsid(*firstPid), ::getsid(0));
  EXPECT_TRUE(logReads("parked\non standard error\n"));  // both standard streams

  EXPECT_EQ(activate(sandbox.writeBundle("second", second)),
            Answers({"replace 1.0 (10) with 2.0 (20)", "finished 0"}));
  EXPECT_TRUE(testing::hasEnded(*firstPid));
  const std::optional<pid_t> secondPid = instance();
  ASSERT_TRUE(secondPid.has_value());
  EXPECT_NE(*secondPid, *firstPid);
  EXPECT_EQ(read(installed / "manifest.json"), second);

  // Canceled: the installed copy and its instance stay.
  EXPECT_EQ(activate(sandbox.writeBundle("third", manifest(kIdentifier, "3.0", "30")),
                     ReplacementAction::kCancel),
            Answers({"replace 2.0 (20) with 3.0 (30)", "failed SystemExtensionErrorDomain 11"}));
  EXPECT_EQ(instance(), secondPid);
  EXPECT_EQ(read(installed / "manifest.json"), second);

  // A replacement that does not start: the installed copy stays, and runs again.
  EXPECT_EQ(activate(sandbox.writeBundle("broken", manifest(kIdentifier, "4.0", "40"),
                                         "neither a script nor a binary\n")),
            Answers({"replace 2.0 (20) with 4.0 (40)", "failed SystemExtensionErrorDomain 1"}));
  EXPECT_EQ(read(installed / "manifest.json"), second);
  const std::optional<pid_t> againPid = instance();
  ASSERT_TRUE(againPid.has_value());
  EXPECT_TRUE(std::filesystem::exists(files.autostartEntry));

  EXPECT_EQ(deactivate(), finished);
  EXPECT_TRUE(testing::hasEnded(*againPid));
  EXPECT_FALSE(instance());
  EXPECT_FALSE(std::filesystem::exists(installed));

  EXPECT_EQ(deactivate(), Answers({"failed SystemExtensionErrorDomain 4"}));
}

// A refused bundle, a start that fails, a runtime folder that others may change or swap, or a
// process id that cannot be written down: the error, and nothing installed, registered or
// running afterwards.
TEST_F(ExtensionServiceTest, FailedActivationLeavesNothingInstalledOrRunning) {
  enum class Arrange { kNothing, kRuntimeOpenToOthers, kRuntimeLinked, kProcessIdNotRecorded };
  struct Case {
    const char* name;
    std::string manifestText;  // empty: no manifest
    const char* executable;
    int mode;
    int64_t code;
    Arrange arrange = Arrange::kNothing;
  };
  const std::string valid = manifest(kIdentifier, "1.0", "10");
  const char* parks = testing::kParkingScript;
  // Parks without reading its own file, which goes with the failed copy.
  const char* parksWithoutItsFile = "#!/usr/bin/env -S sh -c \"exec sleep infinity\"\n";
  const Case cases[] = {
      {"no manifest", "", parks, 0755, kErrorExtensionNotFound},
      {"not json", R"({"bundleIdentifier":)", parks, 0755, kErrorValidationFailed},
      {"no build version",
       R"({"bundleIdentifier":"org.example.camera","bundleShortVersion":"1","executable":"x"})",
       parks, 0755, kErrorValidationFailed},
      {"executable outside the bundle", manifest(kIdentifier, "1.0", "10", "../extension"), parks,
       0755, kErrorValidationFailed},
      {"another identifier", manifest("org.example.other", "1.0", "10"), parks, 0755,
       kErrorValidationFailed},
      {"not executable", valid, parks, 0644, kErrorValidationFailed},
      {"not a program", valid, "neither a script nor a binary\n", 0755, kErrorUnknown},
      {"runtime folder open to others", valid, parks, 0755, kErrorUnknown,
       Arrange::kRuntimeOpenToOthers},
      {"runtime folder a link", valid, parks, 0755, kErrorUnknown, Arrange::kRuntimeLinked},
      {"process id not recorded", valid, parksWithoutItsFile, 0755, kErrorUnknown,
       Arrange::kProcessIdNotRecorded},
  };
  const std::filesystem::path runtime = sandbox.folders().runtime;
  const std::filesystem::path linkedRuntime = sandbox.root() / "linked-runtime";
  for (const Case& test : cases) {
    SCOPED_TRACE(test.name);
    const std::filesystem::path bundle = sandbox.writeBundle(
        test.name, test.manifestText, test.executable, std::filesystem::perms(test.mode));
    if (test.manifestText.empty()) std::filesystem::remove(bundle / "manifest.json");
    if (test.arrange == Arrange::kRuntimeOpenToOthers) {
      std::filesystem::permissions(runtime, std::filesystem::perms(0755));
    } else if (test.arrange == Arrange::kRuntimeLinked) {
      std::filesystem::rename(runtime, linkedRuntime);
      std::filesystem::create_directory_symlink(linkedRuntime, runtime);
    } else if (test.arrange == Arrange::kProcessIdNotRecorded) {
      faults::failNext(faults::Fault::RecordProcessId);
    }

    EXPECT_EQ(activate(bundle),
              Answers({"failed SystemExtensionErrorDomain " + std::to_string(test.code)}));
    EXPECT_FALSE(std::filesystem::exists(files.installed));
    EXPECT_FALSE(std::filesystem::exists(files.staging));
    EXPECT_FALSE(std::filesystem::exists(files.autostartEntry));
    if (test.arrange == Arrange::kRuntimeLinked) {
      std::filesystem::remove(runtime);
      std::filesystem::rename(linkedRuntime, runtime);
    }
    std::filesystem::permissions(runtime, std::filesystem::perms(0700));
    EXPECT_FALSE(instance());
  }
}

// Through the user's service manager where it answers: the unit written, loaded and started,
// written whole again by the next activation, also after it was changed; with a manager that
// refuses, an autostart entry in its place; after deactivation, nothing of either.
TEST_F(ExtensionServiceTest, RegistersWithTheUserServiceManagerElseWithAnAutostartEntry) {
  const std::filesystem::path bundle = sandbox.writeBundle("one", manifest(kIdentifier, "1", "1"));
  const std::string unitName = files.unit.filename().string();
  manager = sandbox.answeringManager();
  ASSERT_EQ(activate(bundle), finished);
  EXPECT_EQ(read(sandbox.calls()),
            "show --property=UnitPath\ndaemon-reload\nstart " + unitName + "\n");
  EXPECT_TRUE(instance().has_value());  // started by the unit's command
  const std::string unit = read(files.unit);
  EXPECT_NE(unit.find("\nRestart=on-failure\n"), std::string::npos) << unit;
  EXPECT_TRUE(std::filesystem::equivalent(files.unitLink, files.unit));
  EXPECT_FALSE(std::filesystem::exists(files.autostartEntry));
  if (std::system("command -v systemd-analyze >/dev/null") == 0) {
    // The verifier reports what it ignores, and fails only for some of it: no word is accepted.
    const ServiceFolders folders = sandbox.folders();
    const std::string said = sandbox.root() / "verified";
    const std::string verify = "XDG_CONFIG_HOME='" + folders.config.string() +
                               "' XDG_RUNTIME_DIR='" + folders.runtime.string() +
                               "' systemd-analyze --user verify '" + files.unit.string() + "' >" +
                               said + " 2>&1";
    EXPECT_EQ(std::system(verify.c_str()), 0);
    EXPECT_EQ(read(said), "") << unit;
  }

  std::ofstream(files.unit) << "[Service]\nExecStart=/gone\n";
  ASSERT_EQ(activate(bundle), Answers({"replace 1 (1) with 1 (1)", "finished 0"}));
  EXPECT_EQ(read(files.unit), unit);
  EXPECT_TRUE(instance().has_value());

  manager = sandbox.refusingManager();
  ASSERT_EQ(activate(bundle), Answers({"replace 1 (1) with 1 (1)", "finished 0"}));
  EXPECT_FALSE(std::filesystem::exists(files.unit));
  EXPECT_FALSE(std::filesystem::exists(files.unitLink));
  EXPECT_TRUE(std::filesystem::exists(files.autostartEntry));
  EXPECT_TRUE(instance().has_value());

  EXPECT_EQ(deactivate(), finished);
  EXPECT_FALSE(instance());
  EXPECT_EQ(filesIn(sandbox.folders().config), std::vector<std::string>{});
  EXPECT_EQ(filesIn(sandbox.folders().data), std::vector<std::string>{});
}

// As a session runs the entry at login, here with the standard streams closed: its command starts
// one instance and refuses a second while that one runs; an instance that crashes leaves the lock
// free.
TEST_F(ExtensionServiceTest, AnInstanceFromTheAutostartEntryHoldsTheLockUntilItCrashes) {
  ASSERT_EQ(activate(sandbox.writeBundle("one", manifest(kIdentifier, "1", "1"))), finished);
  std::ifstream entry(files.autostartEntry);
  std::string command;
  while (std::getline(entry, command) && !command.starts_with("Exec=")) {
  }
  command = command.substr(5) + " <&- >&- 2>&-";
  ASSERT_EQ(::kill(*instance(), SIGKILL), 0);  // the session that started it ended
  ASSERT_TRUE(testing::waitFor([&] { return !instance(); }));

  ASSERT_EQ(std::system(command.c_str()), 0) << command;
  const std::optional<pid_t> pid = instance();
  ASSERT_TRUE(pid.has_value());
  EXPECT_NE(std::system(command.c_str()), 0);
  EXPECT_EQ(instance(), pid);

  ASSERT_EQ(::kill(*pid, SIGSEGV), 0);
  EXPECT_TRUE(testing::waitFor([&] { return !instance(); }));
}

TEST_F(ExtensionServiceTest, AnInstanceThatIgnoresSigtermIsKilled) {
  const char stubborn[] = "#!/bin/sh\ntrap '' TERM\necho ignoring\nexec sleep infinity\n";
  ASSERT_EQ(activate(sandbox.writeBundle("stubborn", manifest(kIdentifier, "1", "1"), stubborn)),
            finished);
  const std::optional<pid_t> pid = instance();
  ASSERT_TRUE(pid.has_value());
  ASSERT_TRUE(logReads("ignoring\n"));

  EXPECT_EQ(deactivate(), finished);
  EXPECT_TRUE(testing::hasEnded(*pid));
}

TEST_F(ExtensionServiceTest, AnInstanceKilledBehindItsBackRunsAgainAfterActivation) {
  const std::filesystem::path bundle = sandbox.writeBundle("one", manifest(kIdentifier, "1", "1"));
  ASSERT_EQ(activate(bundle), finished);
  const std::optional<pid_t> killed = instance();
  ASSERT_TRUE(killed.has_value());
  ASSERT_EQ(::kill(*killed, SIGKILL), 0);
  EXPECT_TRUE(testing::waitFor([&] { return !instance(); }));

  EXPECT_EQ(activate(bundle), Answers({"replace 1 (1) with 1 (1)", "finished 0"}));
  const std::optional<pid_t> pid = instance();
  ASSERT_TRUE(pid.has_value());
  EXPECT_NE(*pid, *killed);
}

TEST(ServiceFolders, FollowTheXdgVariablesAndFallBackWhenUnsetOrRelative) {
  ::setenv("HOME", "/home/someone", 1);
  ::setenv("XDG_DATA_HOME", "/data", 1);
  ::setenv("XDG_STATE_HOME", "relative/state", 1);
  ::unsetenv("XDG_CONFIG_HOME");
  ::unsetenv("XDG_RUNTIME_DIR");
  ::setenv("TMPDIR", "/", 1);
  const ServiceFolders folders = ServiceFolders::fromEnvironment();
  EXPECT_EQ(folders.data, "/data");
  EXPECT_EQ(folders.state, "/home/someone/.local/state");
  EXPECT_EQ(folders.config, "/home/someone/.config");
  EXPECT_EQ(folders.runtime, "/quillane-runtime-" + std::to_string(::getuid()));
}

}  // namespace
}  // namespace platform::sysext
