#include "camd/activation.h"

#include <string>
#include <string_view>
#include <utility>

#include "camd/app_id.h"
#include "camd/quillane_camera.h"
#include "camd/reporting.h"
#include "platform/dispatch/serial_queue.h"

namespace camd {
namespace {

using nlohmann::json;
using platform::sysext::Request;

constexpr uint64_t kAnswerTimeoutNanos = 120'000'000'000;
// How much longer a request that the service began before the timeout may take to answer.
constexpr uint64_t kLateAnswerNanos = 5'000'000'000;

json report(bool ok, std::string_view state, std::string_view message) {
  return {{"ok", ok}, {"state", state}, {"message", message}};
}

}  // namespace

nlohmann::json ActivationDelegate::run(bool activate, platform::sysext::Manager& manager,
                                       std::shared_ptr<platform::dispatch::Clock> clock) {
  auto queue =
      std::make_shared<platform::dispatch::SerialQueue>(std::string(kAppID) + ".camd.sysext");
  const std::shared_ptr<Request> request =
      activate ? Request::activationRequest(QuillaneCamera::extensionID(), queue)
               : Request::deactivationRequest(QuillaneCamera::extensionID(), queue);
  auto delegate = std::make_shared<ActivationDelegate>(clock);
  request->setDelegate(delegate);
  // Counted from before the submission, so an answer can never come before the count starts.
  const uint64_t deadline = clock->nowNanos() + kAnswerTimeoutNanos;
  manager.submitRequest(request);
  // At the timeout a request the service has not begun is canceled, so it never acts; one it has
  // begun is nearly done, and its answer says what happened.
  if (!delegate->done_.waitUntil(deadline) &&
      (request->cancel() || !delegate->done_.waitUntil(deadline + kLateAnswerNanos))) {
    return report(false, "timeout", "no answer from sysextd after 120 s");
  }
  platform::base::MutexLock lock(delegate->resultMutex_);
  return delegate->result_;
}

ActivationDelegate::ActivationDelegate(std::shared_ptr<platform::dispatch::Clock> clock)
    : done_(0, std::move(clock)), result_(report(false, "unknown", "no response")) {}

platform::sysext::ReplacementAction ActivationDelegate::actionForReplacingExtension(
    const platform::sysext::ExtensionProperties& existing,
    const platform::sysext::ExtensionProperties& replacement) {
  logError("replacing " + existing.bundleShortVersion + " (" + existing.bundleVersion + ") with " +
           replacement.bundleShortVersion + " (" + replacement.bundleVersion + ")");
  return platform::sysext::ReplacementAction::kReplace;
}

void ActivationDelegate::requestNeedsUserApproval() {
  answer(report(true, "needs-approval",
                "Approve Quillane Camera in System Settings > General > Login Items & Extensions "
                "> Camera Extensions"));
}

void ActivationDelegate::requestDidFinish(platform::sysext::RequestResult result) {
  if (result == platform::sysext::RequestResult::kCompleted) {
    answer(report(true, "completed", "done"));
  } else {
    answer(report(true, "reboot-required", "will complete after reboot"));
  }
}

void ActivationDelegate::requestDidFail(const platform::sysext::Error& error) {
  answer(
      report(false, "failed",
             error.domain + " " + std::to_string(error.code) + ": " + error.localizedDescription));
}

// Stored before the signal, so the waiting thread reads this report or a later one.
void ActivationDelegate::answer(nlohmann::json latest) {
  {
    platform::base::MutexLock lock(resultMutex_);
    result_ = std::move(latest);
  }
  done_.signal();
}

}  // namespace camd
