#pragma once

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/base/unique_fd.h"

namespace quillane::integration {

// A program a test starts: its standard input is a pipe the test writes, its standard output and
// error are collected line by line on threads of their own. The environment is the test's, with
// `environment` set over it. Destroying it kills the program if it still runs and reaps it, and
// the program is killed when the test process dies, so a failing test leaves nothing behind.
// Methods are called from one thread at a time.
class ChildProcess {
 public:
  explicit ChildProcess(std::vector<std::string> arguments,
                        std::map<std::string, std::string> environment = {});
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  pid_t pid() const { return pid_; }
  // False once the program stopped reading (it ended or closed its input).
  bool write(const std::string& bytes);
  void closeInput();
  void signal(int number);

  // Waits until a line of standard output satisfies `matches` and returns it.
  std::optional<std::string> waitForLine(const std::function<bool(const std::string&)>& matches,
                                         std::chrono::milliseconds timeout);
  std::vector<std::string> outputLines() const;
  std::string errorText() const;
  // The exit status (128 + signal for a killed program), or nullopt when it still runs after
  // `timeout`; once it has ended, what it wrote is in outputLines() and errorText().
  std::optional<int> waitForExit(std::chrono::milliseconds timeout);

 private:
  void collect(platform::base::UniqueFd from, bool output);

  pid_t pid_ = -1;
  std::optional<int> exitStatus_;
  platform::base::UniqueFd input_;
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<std::string> lines_;  // guarded by mutex_
  std::string partial_;             // guarded by mutex_
  std::string errors_;              // guarded by mutex_
  bool outputEnded_ = false;        // guarded by mutex_
  bool errorsEnded_ = false;        // guarded by mutex_
  std::thread outputReader_;
  std::thread errorReader_;
};

// Waits until `condition` holds, polling every 10 ms; false after `timeout`.
bool waitUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout);

}  // namespace quillane::integration
