#pragma once

#include <memory>

#include <nlohmann/json.hpp>

#include "platform/base/mutex.h"
#include "platform/dispatch/clock.h"
#include "platform/dispatch/semaphore.h"
#include "platform/sysext/system_extensions.h"

namespace camd {

// Submits one request and carries its first answer, as the activation report, from the request's
// queue to the waiting main thread.
class ActivationDelegate final : public platform::sysext::RequestDelegate {
 public:
  // Asks the system-extension service to install (activate) or remove the camera extension:
  // submits the request to `manager` and waits up to 120 s on `clock` for an answer that ends it;
  // returns its report {"message", "ok", "state"}, or the timeout report. Main thread.
  static nlohmann::json run(bool activate, platform::sysext::Manager& manager,
                            std::shared_ptr<platform::dispatch::Clock> clock);

  explicit ActivationDelegate(std::shared_ptr<platform::dispatch::Clock> clock);

  // The service's answers, on the request's queue. The replacement question writes the
  // replacement notice and answers replace; each of the others replaces the report and signals.
  platform::sysext::ReplacementAction actionForReplacingExtension(
      const platform::sysext::ExtensionProperties& existing,
      const platform::sysext::ExtensionProperties& replacement) override;
  void requestNeedsUserApproval() override;
  void requestDidFinish(platform::sysext::RequestResult result) override;
  void requestDidFail(const platform::sysext::Error& error) override;

 private:
  void answer(nlohmann::json latest);

  platform::dispatch::Semaphore done_;  // signalled once by each answer that ends the request
  platform::base::Mutex resultMutex_;
  // A later answer may replace it while the main thread reads it.
  nlohmann::json result_ QLN_GUARDED_BY(resultMutex_);
};

}  // namespace camd
