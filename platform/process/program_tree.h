#pragma once

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

// Programs that start programs of their own (a browser and its helpers), run and stopped as one.
namespace platform::process {

// A program started in a process group of its own, with standard input from /dev/null and its
// output appended to a log file. The starting process becomes the reaper of the orphans below it,
// so helpers that leave the group or the session are still its descendants, and stop() ends them
// all. stop() kills and reaps every child of the process: a process that runs a tree starts no
// other children. Its methods are called from one thread.
class ProgramTree {
 public:
  // Starts `arguments` (the program found on PATH) with exactly `environment` ("NAME=value"
  // entries). Null, with `error` saying why, when the program cannot be started.
  static std::unique_ptr<ProgramTree> start(const std::vector<std::string>& arguments,
                                            const std::vector<std::string>& environment,
                                            const std::filesystem::path& logPath,
                                            std::string& error);
  ~ProgramTree();
  ProgramTree(const ProgramTree&) = delete;
  ProgramTree& operator=(const ProgramTree&) = delete;

  // The program's exit status once it has ended (128 + signal when a signal ended it), without
  // waiting; nullopt while it runs.
  std::optional<int> exitStatus();

  // Kills the program and every process it started, and waits until all have gone or `timeout`
  // has passed; false then.
  bool stop(std::chrono::milliseconds timeout = std::chrono::seconds(10));

 private:
  explicit ProgramTree(pid_t pid) : pid_(pid) {}
  void noteExit(int status);

  pid_t pid_;
  std::optional<int> exitStatus_;
  bool stopped_ = false;
};

// The process's environment as "NAME=value" entries, with `overrides` set over it.
std::vector<std::string> environmentWith(const std::vector<std::string>& overrides);

}  // namespace platform::process
