#pragma once

#include <chrono>
#include <optional>
#include <string>

#include "platform/sysext/service_folders_linux.h"
#include "platform/sysext/user_service_manager_linux.h"

namespace platform::sysext {

// How the user's session runs the installed extension from now on: a systemd user unit, started
// with the user's PipeWire session and again after a crash, where the user's service manager
// answers; else an XDG autostart entry, started at each login. Both run the launcher in the
// installed copy, which starts the extension as an activation does, under the instance lock, so
// one instance runs whoever started it. Files are written whole (a temporary file renamed into
// place). Runs on the service's queue, under the extension's request lock.
class ExtensionRegistration {
 public:
  ExtensionRegistration(const ServiceFolders& folders, std::string identifier,
                        const UserServiceManager& manager);

  // Registers the installed copy and starts it, through the manager when it takes the unit,
  // else with the autostart entry and a detached start; the other registration goes. Throws
  // RequestFailure when the copy does not start.
  void registerAndStart() const;

  // Stops the instance, however it was started: through the manager when the unit is
  // registered, then whatever process holds the instance lock (SIGTERM, SIGKILL after `grace`).
  void stop(std::chrono::milliseconds grace) const;

  // Removes the unit, its link and the autostart entry; the manager forgets the unit.
  void remove() const;

 private:
  std::string unitName() const { return files_.unit.filename().string(); }
  // The launcher's command line, each argument quoted by `quote`.
  std::string launchCommand(std::string (*quote)(const std::string&)) const;
  std::string unitText() const;
  std::string entryText() const;
  bool managerTakesUnits() const;
  void removeUnit() const;

  const ServiceFolders folders_;
  const std::string identifier_;
  const ExtensionFiles files_;
  const UserServiceManager& manager_;
  mutable std::optional<bool> managerTakesUnits_;  // asked once per request
};

// Starts the installed copy of the extension detached, under its instance lock, with its output
// appended to its log. What an activation and the launcher do; throws RequestFailure.
void startInstalledCopy(const ExtensionFiles& files, const std::string& identifier);

}  // namespace platform::sysext
