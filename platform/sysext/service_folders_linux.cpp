#include "platform/sysext/service_folders_linux.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <system_error>

#include "platform/sysext/request_failure_linux.h"

namespace platform::sysext {
namespace {

const std::filesystem::path kSubfolder = std::filesystem::path("quillane") / "system-extensions";

std::filesystem::path absoluteVariable(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr && value[0] == '/' ? value : "";
}

std::filesystem::path homeFolder() {
  std::filesystem::path home = absoluteVariable("HOME");
  if (home.empty()) {
    const passwd* user = ::getpwuid(::getuid());
    if (user != nullptr && user->pw_dir != nullptr) home = user->pw_dir;
  }
  return home;
}

std::filesystem::path variableOr(const char* name, const std::filesystem::path& fallback) {
  std::filesystem::path value = absoluteVariable(name);
  return value.empty() ? fallback : value;
}

// Creates the folder (its parent must exist) or finds it; refuses one that another user could
// change.
void ensurePrivateFolder(const std::filesystem::path& folder) {
  if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) {
    throw systemFailure("cannot create " + folder.string());
  }
  struct stat status {};
  if (::lstat(folder.c_str(), &status) != 0 || !S_ISDIR(status.st_mode) ||
      status.st_uid != ::geteuid() || (status.st_mode & 077) != 0) {
    throw RequestFailure(kErrorUnknown, folder.string() +
                                            " is not a folder of this user alone (mode 0700); "
                                            "point XDG_RUNTIME_DIR at one");
  }
}

}  // namespace

ServiceFolders ServiceFolders::fromEnvironment() {
  const std::filesystem::path home = homeFolder();
  std::error_code noTemp;
  std::filesystem::path temp = std::filesystem::temp_directory_path(noTemp);
  if (noTemp) temp = "/tmp";
  return {
      .data = variableOr("XDG_DATA_HOME", home / ".local" / "share"),
      .state = variableOr("XDG_STATE_HOME", home / ".local" / "state"),
      .config = variableOr("XDG_CONFIG_HOME", home / ".config"),
      .runtime =
          variableOr("XDG_RUNTIME_DIR", temp / ("quillane-runtime-" + std::to_string(::getuid()))),
  };
}

ExtensionFiles::ExtensionFiles(const ServiceFolders& folders, const std::string& identifier)
    : runtime(folders.runtime),
      installed(folders.data / kSubfolder / (identifier + ".systemextension")),
      launcher(installed / QUILLANE_SYSEXT_LAUNCHER),
      staging(folders.data / kSubfolder / (identifier + ".systemextension.staging")),
      previous(folders.data / kSubfolder / (identifier + ".systemextension.previous")),
      log(folders.state / kSubfolder / (identifier + ".log")),
      instanceLock(folders.runtime / kSubfolder / (identifier + ".instance.lock")),
      requestLock(folders.runtime / kSubfolder / (identifier + ".request.lock")),
      unit(folders.config / "systemd" / "user" / (identifier + ".service")),
      unitLink(unit.parent_path() / "pipewire.service.wants" / unit.filename()),
      autostartEntry(folders.config / "autostart" / (identifier + ".desktop")) {}

void ExtensionFiles::createLockFolder() const {
  ensurePrivateFolder(runtime);
  std::filesystem::create_directories(instanceLock.parent_path());
}

void ExtensionFiles::createFolders() const {
  createLockFolder();
  std::filesystem::create_directories(installed.parent_path());
  std::filesystem::create_directories(log.parent_path());
}

}  // namespace platform::sysext
