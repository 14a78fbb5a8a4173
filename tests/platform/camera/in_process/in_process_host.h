#pragma once

#include <cstdint>
#include <memory>
#include <optional>

#include "platform/camera/camera_host.h"
#include "platform/dispatch/clock.h"

namespace platform::camera {

// A camera host that lives inside one process: extensions and clients of the same process meet
// in it by direct calls, deterministic on an injected clock. Tests run the camera, the tool and
// the host's contract against it. Thread-safe.
//
// Threads: three serial queues of its own. The callback queue makes every call into an
// extension's sources (client operations wait for it); the delivery queue runs consume answers
// and queue-altered callbacks; the timeout queue measures consume timeouts on the clock. The
// state is guarded by one lock that is never held while the host calls into a source or a
// completion, so an extension may call back into the host from anywhere.
class InProcessCameraHost final : public CameraHost {
 public:
  // `clock` measures consume timeouts.
  explicit InProcessCameraHost(std::shared_ptr<dispatch::Clock> clock = dispatch::hostClock());
  // Withdraws every provider still published. Clients made by connect() may outlive the host;
  // their calls then fail.
  ~InProcessCameraHost() override;

  void startService(const std::shared_ptr<ExtensionProvider>& provider) override;
  void stopService(const std::shared_ptr<ExtensionProvider>& provider) override;
  std::shared_ptr<HardwareClient> connect() override;

  // For tests: waits until the host's queues are idle: callbacks, due timeouts and answers, also
  // those that answers caused, have run. Not from a host queue.
  void flush();
  // For tests: the last output the extension confirmed on a stream.
  std::optional<ExtensionScheduledOutput> lastScheduledOutput(ObjectID stream) const;

  class Runtime;

 private:
  std::shared_ptr<Runtime> runtime_;
};

}  // namespace platform::camera
