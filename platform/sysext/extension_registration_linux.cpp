#include "platform/sysext/extension_registration_linux.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <system_error>
#include <utility>

#include "platform/base/unique_fd.h"
#include "platform/io/file_descriptor.h"
#include "platform/sysext/extension_bundle_linux.h"
#include "platform/sysext/extension_process_linux.h"
#include "platform/sysext/request_failure_linux.h"

namespace platform::sysext {
namespace {

// A line break cannot be written into either file's command line.
void refuseLineBreaks(const std::string& text) {
  if (text.find_first_of("\n\r") != std::string::npos) {
    throw RequestFailure(kErrorUnknown, "cannot register a path with a line break: " + text);
  }
}

// An argument of a unit's ExecStart: quoted, with systemd's escapes, and its specifier (%) and
// variable ($) characters doubled.
std::string unitArgument(const std::string& text) {
  refuseLineBreaks(text);
  std::string quoted = "\"";
  for (const char c : text) {
    if (c == '"' || c == '\\') quoted += '\\';
    if (c == '%' || c == '$') quoted += c;
    quoted += c;
  }
  return quoted + '"';
}

// An argument of a desktop entry's Exec: quoted with ", `, $ and \ escaped, then every backslash
// doubled (the entry's string escapes come first) and % doubled (field codes).
std::string entryArgument(const std::string& text) {
  refuseLineBreaks(text);
  std::string quoted = "\"";
  for (const char c : text) {
    if (c == '"' || c == '`' || c == '$') quoted += "\\\\";
    if (c == '\\') quoted += "\\\\\\";
    if (c == '%') quoted += '%';
    quoted += c;
  }
  return quoted + '"';
}

// A temporary name beside `path`, hidden, so neither the manager nor the session reads it.
std::filesystem::path besideTemporarily(const std::filesystem::path& path) {
  return path.parent_path() / ("." + path.filename().string() + "." + std::to_string(::getpid()));
}

// Writes `text` to `path` whole: a reader sees the old file or the new one, never part of one,
// and a failure leaves no temporary file.
void writeWhole(const std::filesystem::path& path, const std::string& text) {
  std::filesystem::create_directories(path.parent_path());
  const std::filesystem::path temporary = besideTemporarily(path);
  base::UniqueFd file(
      ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0644));
  if (!file) throw systemFailure("cannot write " + temporary.string());
  if (!io::writeAll(file.get(), text.data(), text.size()) || ::fsync(file.get()) != 0 ||
      ::rename(temporary.c_str(), path.c_str()) != 0) {
    const RequestFailure failed = systemFailure("cannot write " + path.string());
    ::unlink(temporary.c_str());
    throw failed;
  }
}

// Makes `path` a symbolic link to `target`, replacing whatever is there in one step.
void linkWhole(const std::filesystem::path& path, const std::filesystem::path& target) {
  std::filesystem::create_directories(path.parent_path());
  const std::filesystem::path temporary = besideTemporarily(path);
  ::unlink(temporary.c_str());
  if (::symlink(target.c_str(), temporary.c_str()) != 0 ||
      ::rename(temporary.c_str(), path.c_str()) != 0) {
    const RequestFailure failed = systemFailure("cannot link " + path.string());
    ::unlink(temporary.c_str());
    throw failed;
  }
}

// Removes the file or link; true when there was one.
bool removeFile(const std::filesystem::path& path) {
  std::error_code ignored;
  return std::filesystem::remove(path, ignored);
}

}  // namespace

void startInstalledCopy(const ExtensionFiles& files, const std::string& identifier) {
  files.createFolders();
  const ExtensionBundle copy = ExtensionBundle::open(files.installed, identifier);
  ExtensionProcess(files.instanceLock).start(copy.executable(), files.log);
}

ExtensionRegistration::ExtensionRegistration(const ServiceFolders& folders, std::string identifier,
                                             const UserServiceManager& manager)
    : folders_(folders),
      identifier_(std::move(identifier)),
      files_(folders_, identifier_),
      manager_(manager) {}

void ExtensionRegistration::registerAndStart() const {
  if (managerTakesUnits()) {
    try {
      writeWhole(files_.unit, unitText());
      linkWhole(files_.unitLink, std::filesystem::path("..") / unitName());
      manager_.reload();
      manager_.start(unitName());
      removeFile(files_.autostartEntry);
      return;
    } catch (const UserServiceManager::Refusal&) {
      // The entry and a detached start below, which says why when the copy does not start.
    }
  }
  removeUnit();
  writeWhole(files_.autostartEntry, entryText());
  startInstalledCopy(files_, identifier_);
}

void ExtensionRegistration::stop(std::chrono::milliseconds grace) const {
  if (std::filesystem::exists(files_.unit) && managerTakesUnits()) {
    try {
      manager_.stop(unitName());
    } catch (const UserServiceManager::Refusal&) {
      // What it started is stopped through the lock below.
    }
  }
  ExtensionProcess(files_.instanceLock).stop(grace);
}

void ExtensionRegistration::remove() const {
  removeUnit();
  removeFile(files_.autostartEntry);
}

std::string ExtensionRegistration::launchCommand(std::string (*quote)(const std::string&)) const {
  std::string command = quote(files_.launcher.string());
  for (const std::string& argument :
       {identifier_, folders_.data.string(), folders_.state.string(), folders_.runtime.string()}) {
    command += ' ' + quote(argument);
  }
  return command;
}

std::string ExtensionRegistration::unitText() const {
  return "# Written when " + identifier_ +
         " was activated; removed when it is deactivated.\n"
         "[Unit]\n"
         "Description=System extension " +
         identifier_ +
         "\n"
         "After=pipewire.service\n"
         "StartLimitIntervalSec=60\n"
         "StartLimitBurst=5\n"
         "\n"
         "[Service]\n"
         "# The launcher ends once the extension runs, detached and holding the instance lock;\n"
         "# the extension's output goes to " +
         files_.log.string() +
         "\n"
         "Type=forking\n"
         "ExecStart=" +
         launchCommand(unitArgument) +
         "\n"
         "Restart=on-failure\n"
         "RestartSec=1\n"
         "\n"
         "[Install]\n"
         "WantedBy=pipewire.service\n";
}

std::string ExtensionRegistration::entryText() const {
  return "# Written when " + identifier_ +
         " was activated; removed when it is deactivated.\n"
         "[Desktop Entry]\n"
         "Type=Application\n"
         "Name=System extension " +
         identifier_ +
         "\n"
         "Exec=" +
         launchCommand(entryArgument) +
         "\n"
         "NoDisplay=true\n"
         "Terminal=false\n";
}

bool ExtensionRegistration::managerTakesUnits() const {
  if (!managerTakesUnits_) managerTakesUnits_ = manager_.loadsUnitsFrom(files_.unit.parent_path());
  return *managerTakesUnits_;
}

// The unit goes before the manager forgets it, so a crash in between leaves nothing it restarts.
void ExtensionRegistration::removeUnit() const {
  const bool linked = removeFile(files_.unitLink);
  if (!removeFile(files_.unit) && !linked) return;
  std::error_code ignored;
  std::filesystem::remove(files_.unitLink.parent_path(), ignored);  // only when empty
  if (!managerTakesUnits()) return;
  try {
    manager_.stop(unitName());
    manager_.reload();
    manager_.forgetFailure(unitName());
  } catch (const UserServiceManager::Refusal&) {
    // A manager that refuses now has nothing of ours to run once it reads its files again.
  }
}

}  // namespace platform::sysext
