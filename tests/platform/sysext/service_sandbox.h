#pragma once

#include <sys/types.h>

#include <filesystem>
#include <functional>
#include <optional>
#include <string>

#include "platform/sysext/service_folders_linux.h"

namespace platform::sysext::testing {

// Parks until SIGTERM, as an extension does, after a line on each standard stream.
inline constexpr char kParkingScript[] =
    "#!/bin/sh\necho parked\necho on standard error >&2\nexec sleep infinity\n";

// The manifest of a bundle whose executable is the file `executable` in it.
std::string manifest(const std::string& identifier, const std::string& shortVersion,
                     const std::string& version, const std::string& executable = "extension");

// Private data, state and runtime folders in a fresh temporary folder. Destroying the sandbox
// kills every extension instance that runs from it, then removes the folders.
class ServiceSandbox {
 public:
  ServiceSandbox();
  ~ServiceSandbox();
  ServiceSandbox(const ServiceSandbox&) = delete;
  ServiceSandbox& operator=(const ServiceSandbox&) = delete;

  const std::filesystem::path& root() const { return root_; }
  ServiceFolders folders() const;
  ExtensionFiles files(const std::string& identifier) const;
  std::optional<pid_t> runningInstance(const std::string& identifier) const;

  // A stand-in for the user service manager's control program: one that refuses every call, as
  // where no manager runs, or one that answers for the sandbox's unit folder, writes each call
  // down in calls() ("daemon-reload", "start <unit>"), starts a unit by running its ExecStart
  // line and leaves stopping to the lock.
  std::filesystem::path refusingManager() const;
  std::filesystem::path answeringManager() const;
  std::filesystem::path calls() const { return root_ / "manager-calls"; }

  // Writes the bundle folder `name` with this manifest and an executable file "extension" with
  // this content and mode; returns the folder.
  std::filesystem::path writeBundle(const std::string& name, const std::string& manifestText,
                                    const std::string& executable = kParkingScript,
                                    std::filesystem::perms mode = std::filesystem::perms(0755));

 private:
  std::filesystem::path root_;
};

// True once the process has ended; a process that is yet to be reaped has ended.
bool hasEnded(pid_t pid);

// Checks the condition until it holds or 10 s passed; false then.
bool waitFor(const std::function<bool()>& condition);

}  // namespace platform::sysext::testing
