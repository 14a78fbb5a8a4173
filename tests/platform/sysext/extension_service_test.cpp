#include "platform/sysext/extension_service_linux.h"

#include <signal.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

#include <gtest/gtest.h>

#include "platform/dispatch/semaphore.h"
#include "tests/platform/sysext/service_sandbox.h"

namespace platform::sysext {
namespace {

using testing::manifest;
using testing::ServiceSandbox;

constexpr char kIdentifier[] = "org.example.camera";

// What the service answered to one request.
struct Outcome {
  std::vector<std::pair<ExtensionProperties, ExtensionProperties>> replacements;
  std::optional<RequestResult> result;
  std::optional<Error> error;
};

// Records the answers on the request's queue and answers the replacement question as told.
class RecordingDelegate final : public RequestDelegate {
 public:
  explicit RecordingDelegate(ReplacementAction action) : action_(action) {}

  ReplacementAction actionForReplacingExtension(const ExtensionProperties& existing,
                                                const ExtensionProperties& replacement) override {
    outcome.replacements.emplace_back(existing, replacement);
    return action_;
  }
  void requestNeedsUserApproval() override { ADD_FAILURE() << "no approval is ever needed"; }
  void requestDidFinish(RequestResult result) override {
    outcome.result = result;
    ended.signal();
  }
  void requestDidFail(const Error& error) override {
    outcome.error = error;
    ended.signal();
  }

  Outcome outcome;  // written on the request's queue before `ended` is signalled
  dispatch::Semaphore ended;

 private:
  ReplacementAction action_;
};

class ExtensionServiceTest : public ::testing::Test {
 protected:
  // Performs one request on a service that takes its bundle from `bundle`.
  Outcome perform(Request::Kind kind, const std::filesystem::path& bundle,
                  ReplacementAction action = ReplacementAction::kReplace) {
    ExtensionService service({.folders = sandbox.folders(),
                              .bundles = sandbox.root() / "bundles",
                              .bundle = bundle,
                              .stopGrace = std::chrono::milliseconds(200)});
    auto queue = std::make_shared<dispatch::SerialQueue>("test.sysext");
    auto request = kind == Request::Kind::kActivation
                       ? Request::activationRequest(kIdentifier, queue)
                       : Request::deactivationRequest(kIdentifier, queue);
    auto delegate = std::make_shared<RecordingDelegate>(action);
    request->setDelegate(delegate);
    service.submitRequest(request);
    EXPECT_TRUE(delegate->ended.waitUntil(dispatch::hostClock()->nowNanos() + 30'000'000'000));
    return delegate->outcome;
  }
  Outcome activate(const std::filesystem::path& bundle,
                   ReplacementAction action = ReplacementAction::kReplace) {
    return perform(Request::Kind::kActivation, bundle, action);
  }
  Outcome deactivate() { return perform(Request::Kind::kDeactivation, "unused"); }

  std::string installedManifest() {
    std::ifstream file(sandbox.files(kIdentifier).installed / "manifest.json");
    return std::string(std::istreambuf_iterator<char>(file), {});
  }
  // Waits until the extension's log holds exactly `text`.
  bool logReads(const std::string& text) {
    return testing::waitFor([&] {
      std::ifstream file(sandbox.files(kIdentifier).log);
      return std::string(std::istreambuf_iterator<char>(file), {}) == text;
    });
  }
  void expectError(const Outcome& outcome, int64_t code) {
    ASSERT_TRUE(outcome.error.has_value()) << "the request did not fail";
    EXPECT_EQ(outcome.error->domain, kErrorDomain);
    EXPECT_EQ(outcome.error->code, code) << outcome.error->localizedDescription;
    EXPECT_FALSE(outcome.error->localizedDescription.empty());
  }

  ServiceSandbox sandbox;
};

TEST_F(ExtensionServiceTest, ActivatesReplacesAndDeactivatesADetachedInstance) {
  const std::string first = manifest(kIdentifier, "1.0", "10");
  const std::string second = manifest(kIdentifier, "2.0", "20");
  Outcome outcome = activate(sandbox.writeBundle("first", first));
  EXPECT_EQ(outcome.result, RequestResult::kCompleted);
  EXPECT_TRUE(outcome.replacements.empty());
  const std::optional<pid_t> firstPid = sandbox.runningInstance(kIdentifier);
  ASSERT_TRUE(firstPid.has_value());
  EXPECT_EQ(installedManifest(), first);
  EXPECT_NE(::getsid(*firstPid), ::getsid(0));
  EXPECT_TRUE(logReads("parked\non standard error\n"));  // both standard streams

  outcome = activate(sandbox.writeBundle("second", second));
  EXPECT_EQ(outcome.result, RequestResult::kCompleted);
  ASSERT_EQ(outcome.replacements.size(), 1u);
  EXPECT_EQ(outcome.replacements[0].first.bundleShortVersion, "1.0");
  EXPECT_EQ(outcome.replacements[0].first.bundleVersion, "10");
  EXPECT_EQ(outcome.replacements[0].second.bundleShortVersion, "2.0");
  EXPECT_EQ(outcome.replacements[0].second.bundleVersion, "20");
  EXPECT_TRUE(testing::hasEnded(*firstPid));
  const std::optional<pid_t> secondPid = sandbox.runningInstance(kIdentifier);
  ASSERT_TRUE(secondPid.has_value());
  EXPECT_NE(*secondPid, *firstPid);
  EXPECT_EQ(installedManifest(), second);

  outcome = deactivate();
  EXPECT_EQ(outcome.result, RequestResult::kCompleted);
  EXPECT_TRUE(testing::hasEnded(*secondPid));
  EXPECT_FALSE(sandbox.runningInstance(kIdentifier));
  EXPECT_FALSE(std::filesystem::exists(sandbox.files(kIdentifier).installed));

  expectError(deactivate(), kErrorExtensionNotFound);
}

TEST_F(ExtensionServiceTest, CanceledReplacementKeepsTheInstalledInstance) {
  const std::string first = manifest(kIdentifier, "1.0", "10");
  ASSERT_EQ(activate(sandbox.writeBundle("first", first)).result, RequestResult::kCompleted);
  const std::optional<pid_t> pid = sandbox.runningInstance(kIdentifier);

  const std::filesystem::path second =
      sandbox.writeBundle("second", manifest(kIdentifier, "2.0", "20"));
  const Outcome outcome = activate(second, ReplacementAction::kCancel);
  expectError(outcome, kErrorRequestCanceled);
  EXPECT_EQ(outcome.replacements.size(), 1u);
  EXPECT_EQ(sandbox.runningInstance(kIdentifier), pid);
  EXPECT_EQ(installedManifest(), first);
}

// A refused bundle, a start that fails or a runtime folder others may change: the error, and
// nothing installed or running afterwards.
TEST_F(ExtensionServiceTest, FailedActivationLeavesNothingInstalledOrRunning) {
  struct Case {
    const char* name;
    std::string manifestText;
    std::string executable;
    std::filesystem::perms mode;
    int64_t code;
  };
  const std::string valid = manifest(kIdentifier, "1.0", "10");
  const auto executable = std::filesystem::perms(0755);
  const Case cases[] = {
      {"no manifest", "", testing::kParkingScript, executable, kErrorExtensionNotFound},
      {"not json", "{\"bundleIdentifier\":", testing::kParkingScript, executable,
       kErrorValidationFailed},
      {"no build version",
       R"({"bundleIdentifier":"org.example.camera","bundleShortVersion":"1.0","executable":"extension"})",
       testing::kParkingScript, executable, kErrorValidationFailed},
      {"executable outside the bundle", manifest(kIdentifier, "1.0", "10", "../extension"),
       testing::kParkingScript, executable, kErrorValidationFailed},
      {"another identifier", manifest("org.example.other", "1.0", "10"), testing::kParkingScript,
       executable, kErrorValidationFailed},
      {"not executable", valid, testing::kParkingScript, std::filesystem::perms(0644),
       kErrorValidationFailed},
      {"not a program", valid, "neither a script nor a binary\n", executable, kErrorUnknown},
      {"runtime folder open to others", valid, testing::kParkingScript, executable, kErrorUnknown},
  };
  for (const Case& test : cases) {
    SCOPED_TRACE(test.name);
    std::filesystem::path bundle =
        sandbox.writeBundle(test.name, test.manifestText, test.executable, test.mode);
    if (test.manifestText.empty()) std::filesystem::remove(bundle / "manifest.json");
    const bool openRuntime = std::string_view(test.name) == "runtime folder open to others";
    if (openRuntime)
      std::filesystem::permissions(sandbox.folders().runtime, std::filesystem::perms(0755));

    expectError(activate(bundle), test.code);
    EXPECT_FALSE(std::filesystem::exists(sandbox.files(kIdentifier).installed));
    EXPECT_FALSE(std::filesystem::exists(sandbox.files(kIdentifier).staging));
    if (openRuntime)
      std::filesystem::permissions(sandbox.folders().runtime, std::filesystem::perms(0700));
    EXPECT_FALSE(sandbox.runningInstance(kIdentifier));
  }
}

TEST_F(ExtensionServiceTest, AnInstanceThatIgnoresSigtermIsKilled) {
  const char stubborn[] = "#!/bin/sh\ntrap '' TERM\necho ignoring\nexec sleep infinity\n";
  ASSERT_EQ(activate(sandbox.writeBundle("stubborn", manifest(kIdentifier, "1.0", "10"), stubborn))
                .result,
            RequestResult::kCompleted);
  const std::optional<pid_t> pid = sandbox.runningInstance(kIdentifier);
  ASSERT_TRUE(pid.has_value());
  ASSERT_TRUE(logReads("ignoring\n"));

  EXPECT_EQ(deactivate().result, RequestResult::kCompleted);
  EXPECT_TRUE(testing::hasEnded(*pid));
  EXPECT_FALSE(sandbox.runningInstance(kIdentifier));
}

TEST_F(ExtensionServiceTest, AnInstanceKilledBehindItsBackRunsAgainAfterActivation) {
  const std::filesystem::path bundle =
      sandbox.writeBundle("first", manifest(kIdentifier, "1.0", "10"));
  ASSERT_EQ(activate(bundle).result, RequestResult::kCompleted);
  const std::optional<pid_t> killed = sandbox.runningInstance(kIdentifier);
  ASSERT_TRUE(killed.has_value());
  ASSERT_EQ(::kill(*killed, SIGKILL), 0);
  EXPECT_TRUE(testing::waitFor([&] { return !sandbox.runningInstance(kIdentifier); }));

  const Outcome outcome = activate(bundle);
  EXPECT_EQ(outcome.result, RequestResult::kCompleted);
  EXPECT_EQ(outcome.replacements.size(), 1u);
  const std::optional<pid_t> pid = sandbox.runningInstance(kIdentifier);
  ASSERT_TRUE(pid.has_value());
  EXPECT_NE(*pid, *killed);
}

TEST(ServiceFolders, FollowTheXdgVariablesAndFallBackWhenUnsetOrRelative) {
  ::setenv("HOME", "/home/someone", 1);
  ::setenv("XDG_DATA_HOME", "/data", 1);
  ::setenv("XDG_STATE_HOME", "relative/state", 1);
  ::unsetenv("XDG_RUNTIME_DIR");
  ::setenv("TMPDIR", "/", 1);
  const ServiceFolders folders = ServiceFolders::fromEnvironment();
  EXPECT_EQ(folders.data, "/data");
  EXPECT_EQ(folders.state, "/home/someone/.local/state");
  EXPECT_EQ(folders.runtime, "/quillane-runtime-" + std::to_string(::getuid()));
}

}  // namespace
}  // namespace platform::sysext
