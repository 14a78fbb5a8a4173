#include "tests/platform/sysext/service_sandbox.h"

#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <thread>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "platform/sysext/extension_process_linux.h"

namespace platform::sysext::testing {

std::string manifest(const std::string& identifier, const std::string& shortVersion,
                     const std::string& version, const std::string& executable) {
  return nlohmann::json{{"bundleIdentifier", identifier},
                        {"bundleShortVersion", shortVersion},
                        {"bundleVersion", version},
                        {"executable", executable}}
      .dump();
}

ServiceSandbox::ServiceSandbox() {
  std::string pattern = (std::filesystem::temp_directory_path() / "sysext-test-XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  root_ = pattern;
  for (const char* folder : {"data", "state", "config", "runtime"}) {
    std::filesystem::create_directory(root_ / folder);
  }
  std::filesystem::permissions(root_ / "runtime", std::filesystem::perms::owner_all);
}

ServiceSandbox::~ServiceSandbox() {
  std::error_code none;
  const std::filesystem::path locks = files("").instanceLock.parent_path();
  for (const auto& entry : std::filesystem::directory_iterator(locks, none)) {
    if (!entry.path().string().ends_with(".instance.lock")) continue;
    try {
      ExtensionProcess(entry.path()).stop(std::chrono::milliseconds(0));
    } catch (const std::exception& failure) {
      ADD_FAILURE() << "an instance outlived the test: " << failure.what();
    }
  }
  std::filesystem::remove_all(root_, none);
}

ServiceFolders ServiceSandbox::folders() const {
  return {.data = root_ / "data",
          .state = root_ / "state",
          .config = root_ / "config",
          .runtime = root_ / "runtime"};
}

std::filesystem::path ServiceSandbox::refusingManager() const {
  const std::filesystem::path program = root_ / "refusing-manager";
  std::ofstream(program)
      << "#!/bin/sh\necho 'Failed to connect to bus: No medium found' >&2\nexit 1\n";
  std::filesystem::permissions(program, std::filesystem::perms(0755));
  return program;
}

std::filesystem::path ServiceSandbox::answeringManager() const {
  const std::filesystem::path program = root_ / "answering-manager";
  const std::string units = (folders().config / "systemd" / "user").string();
  // Called as "<program> --user --no-pager <command> [<unit>]".
  std::ofstream(program) << "#!/bin/sh\n"
                         << "echo \"$3${4:+ $4}\" >>'" << calls().string() << "'\n"
                         << "case $3 in\n"
                         << "  show) echo '/usr/lib/systemd/user " << units << "' ;;\n"
                         << "  start) eval \"$(sed -n 's/^ExecStart=//p' '" << units
                         << "'/\"$4\")\" ;;\n"
                         << "esac\n";
  std::filesystem::permissions(program, std::filesystem::perms(0755));
  return program;
}

ExtensionFiles ServiceSandbox::files(const std::string& identifier) const {
  return ExtensionFiles(folders(), identifier);
}

std::optional<pid_t> ServiceSandbox::runningInstance(const std::string& identifier) const {
  const ExtensionFiles extension = files(identifier);
  if (!std::filesystem::exists(extension.instanceLock)) return std::nullopt;
  return ExtensionProcess(extension.instanceLock).runningInstance();
}

std::filesystem::path ServiceSandbox::writeBundle(const std::string& name,
                                                  const std::string& manifestText,
                                                  const std::string& executable,
                                                  std::filesystem::perms mode) {
  const std::filesystem::path folder = root_ / "bundles" / name;
  std::filesystem::create_directories(folder);
  std::ofstream(folder / "manifest.json") << manifestText;
  std::ofstream(folder / "extension") << executable;
  std::filesystem::permissions(folder / "extension", mode);
  return folder;
}

bool hasEnded(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string fields;
  if (!std::getline(stat, fields)) return true;
  // The state follows the command name, which ends with the last ')'.
  const size_t state = fields.rfind(')') + 2;
  return state >= fields.size() || fields[state] == 'Z' || fields[state] == 'X';
}

bool waitFor(const std::function<bool()>& condition) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

}  // namespace platform::sysext::testing
