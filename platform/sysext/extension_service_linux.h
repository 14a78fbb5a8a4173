#pragma once

#include <chrono>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>

#include "platform/dispatch/serial_queue.h"
#include "platform/sysext/service_folders_linux.h"
#include "platform/sysext/system_extensions.h"
#include "platform/sysext/user_service_manager_linux.h"

namespace platform::sysext {

struct ExtensionFiles;

// The system-extension service of this machine. Activation installs a copy of the extension's
// bundle in the user's data folder, registers it with the user's session (ExtensionRegistration)
// and starts it, one instance at a time; deactivation stops it and removes the registration and
// the copy. Requests are performed one at a time on the service's queue and, across processes,
// under a lock per extension, which a request waits for until it gets it or is canceled.
class ExtensionService final : public Manager {
 public:
  struct Options {
    ServiceFolders folders;
    // The folder of bundles, each named by its identifier + ".systemextension".
    std::filesystem::path bundles;
    // A bundle to use for any identifier instead.
    std::optional<std::filesystem::path> bundle;
    // The launcher that a registration runs; copied into each installed copy.
    std::filesystem::path launcher;
    // The user's service manager's control program.
    std::filesystem::path serviceManager = "systemctl";
    // How long an instance may take to end after SIGTERM before it is killed.
    std::chrono::milliseconds stopGrace{5000};

    // The user's folders; bundles and the launcher in the folder that the build and the
    // installation give them beside this program's executable, or the bundle $QLN_SYSEXT_BUNDLE.
    static Options fromEnvironment();
  };

  explicit ExtensionService(Options options);
  // Performs the requests already submitted first.
  ~ExtensionService() override;

  void submitRequest(std::shared_ptr<Request> request) override;

 private:
  // On queue_: each throws RequestFailure to end the request with an error.
  void perform(Request& request) const;
  void activate(Request& request, const ExtensionFiles& files) const;
  void deactivate(Request& request, const ExtensionFiles& files) const;

  const Options options_;
  const UserServiceManager serviceManager_;
  dispatch::SerialQueue queue_;
};

}  // namespace platform::sysext
