#pragma once

#include <chrono>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>

#include "platform/dispatch/serial_queue.h"
#include "platform/sysext/service_folders_linux.h"
#include "platform/sysext/system_extensions.h"

namespace platform::sysext {

class ExtensionBundle;
struct ExtensionFiles;

// The system-extension service of this machine. Activation installs a copy of the extension's
// bundle in the user's data folder and starts it detached, one instance at a time; deactivation
// stops it and removes the copy. Requests are performed one at a time on the service's queue
// and, across processes, under a lock per extension.
class ExtensionService final : public Manager {
 public:
  struct Options {
    ServiceFolders folders;
    // The folder of bundles, each named by its identifier + ".systemextension".
    std::filesystem::path bundles;
    // A bundle to use for any identifier instead.
    std::optional<std::filesystem::path> bundle;
    // How long an instance may take to end after SIGTERM before it is killed.
    std::chrono::milliseconds stopGrace{5000};

    // The user's folders; bundles next to this program's executable, or $QLN_SYSEXT_BUNDLE.
    static Options fromEnvironment();
  };

  explicit ExtensionService(Options options);
  // Performs the requests already submitted first.
  ~ExtensionService() override;

  void submitRequest(std::shared_ptr<Request> request) override;

 private:
  // On queue_: each throws RequestFailure to end the request with an error.
  void perform(const Request& request) const;
  void activate(const Request& request, const ExtensionFiles& files) const;
  void deactivate(const Request& request, const ExtensionFiles& files) const;

  const Options options_;
  dispatch::SerialQueue queue_;
};

}  // namespace platform::sysext
