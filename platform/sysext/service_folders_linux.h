#pragma once

#include <filesystem>
#include <string>

namespace platform::sysext {

// The user's folders the service keeps its files in.
struct ServiceFolders {
  std::filesystem::path data;    // $XDG_DATA_HOME, else ~/.local/share
  std::filesystem::path state;   // $XDG_STATE_HOME, else ~/.local/state
  std::filesystem::path config;  // $XDG_CONFIG_HOME, else ~/.config
  std::filesystem::path
      runtime;  // $XDG_RUNTIME_DIR, else quillane-runtime-<uid> in the temp folder

  // Relative values are ignored, as the XDG base directories ask.
  static ServiceFolders fromEnvironment();
};

// The files of one extension, each in a "quillane/system-extensions" folder of its kind, and
// its registrations where the user's session looks for them.
struct ExtensionFiles {
  ExtensionFiles(const ServiceFolders& folders, const std::string& identifier);

  // Creates the folder of the locks. The runtime folder must belong to this user alone, since
  // the locks decide which process is the extension. Throws RequestFailure.
  void createLockFolder() const;
  // Creates the folders of the locks, the installed copy and the log.
  void createFolders() const;

  std::filesystem::path runtime;
  std::filesystem::path installed;     // the installed copy of the bundle
  std::filesystem::path launcher;      // in the installed copy: starts it, for a registration
  std::filesystem::path staging;       // a copy on its way to `installed`
  std::filesystem::path previous;      // the copy it replaces, until the new one runs
  std::filesystem::path log;           // the running extension's standard output and error
  std::filesystem::path instanceLock;  // held by the running extension; holds its process id
  std::filesystem::path requestLock;   // held while a request is performed, by any process
  std::filesystem::path unit;          // the systemd user unit
  std::filesystem::path unitLink;      // the link that starts the unit with PipeWire's
  std::filesystem::path autostartEntry;  // the XDG autostart entry
};

}  // namespace platform::sysext
