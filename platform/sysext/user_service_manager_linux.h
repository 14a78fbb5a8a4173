#pragma once

#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

namespace platform::sysext {

// The user's service manager (systemd --user), reached through its control program, systemctl.
// A call that the manager refuses, or does not answer within 5 s, throws Refusal with the control
// program's words. Calling thread (the service's queue).
class UserServiceManager {
 public:
  class Refusal : public std::runtime_error {
   public:
    using std::runtime_error::runtime_error;
  };

  // `control`: the control program, a path or a name looked up in PATH.
  explicit UserServiceManager(std::filesystem::path control);

  // True when a manager answers and loads units from `folder`, so that a unit written there is
  // one it runs.
  bool loadsUnitsFrom(const std::filesystem::path& folder) const;

  // Reads the unit files again.
  void reload() const;
  // Returns once the unit runs, or throws when it did not start.
  void start(const std::string& unit) const;
  // Returns once the unit has stopped; a unit that is not running or not loaded is fine.
  void stop(const std::string& unit) const;
  // Drops the manager's memory of a failed unit, whose file may be gone.
  void forgetFailure(const std::string& unit) const;

 private:
  // Runs the control program for the user's manager with `arguments`; returns its output.
  std::string call(std::vector<std::string> arguments) const;

  std::filesystem::path control_;
};

}  // namespace platform::sysext
