#pragma once

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <optional>

#include "platform/base/unique_fd.h"

namespace platform::sysext {

// The one running instance of an extension. The instance inherits a descriptor of the instance
// lock file that holds an exclusive lock, so the lock is free exactly when no instance runs,
// also after a crash or a kill; the file holds the instance's process id. Callers hold the
// extension's request lock, so no other process starts or stops an instance meanwhile.
class ExtensionProcess {
 public:
  explicit ExtensionProcess(std::filesystem::path instanceLock);

  // The process id of the running instance; none when no instance runs.
  std::optional<pid_t> runningInstance() const;

  // Stops the running instance, if any: SIGTERM, then SIGKILL once `grace` has passed. Returns
  // when it has ended; throws RequestFailure when it outlives both signals.
  void stop(std::chrono::milliseconds grace) const;

  // Starts `executable` in a session of its own, detached from this process, with its standard
  // input from /dev/null and its standard output and error appended to `log`. Returns once the
  // executable runs in the process; throws RequestFailure when an instance runs already or the
  // start fails.
  void start(const std::filesystem::path& executable, const std::filesystem::path& log) const;

 private:
  // The lock file, opened and locked by this process; none when an instance holds the lock.
  std::optional<base::UniqueFd> lockIfFree() const;

  std::filesystem::path instanceLock_;
};

}  // namespace platform::sysext
