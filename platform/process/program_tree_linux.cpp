#include "platform/process/program_tree.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstring>
#include <fstream>
#include <map>
#include <thread>

#include "platform/base/unique_fd.h"
#include "platform/io/file_descriptor.h"

extern char** environ;

namespace platform::process {
namespace {

using base::UniqueFd;

int exitStatusOf(int status) {
  return WIFSIGNALED(status) ? 128 + WTERMSIG(status) : WEXITSTATUS(status);
}

// The parent of process `pid`, or nullopt when it has gone.
std::optional<pid_t> parentOf(pid_t pid) {
  std::ifstream file("/proc/" + std::to_string(pid) + "/stat");
  std::string stat;
  if (!std::getline(file, stat)) return std::nullopt;
  // "pid (name) state ppid ...": the name may hold spaces and parentheses, the last ')' ends it.
  const auto nameEnd = stat.rfind(')');
  if (nameEnd == std::string::npos || nameEnd + 4 >= stat.size()) return std::nullopt;
  const char* first = stat.data() + nameEnd + 4;
  pid_t parent = 0;
  if (std::from_chars(first, stat.data() + stat.size(), parent).ec != std::errc()) {
    return std::nullopt;
  }
  return parent;
}

// Kills every child of this process: orphans of the tree come here as this process reaps them.
void killChildren() {
  const pid_t self = ::getpid();
  for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
    pid_t pid = 0;
    const std::string name = entry.path().filename().string();
    if (std::from_chars(name.data(), name.data() + name.size(), pid).ec != std::errc()) continue;
    if (parentOf(pid) == self) ::kill(pid, SIGKILL);
  }
}

// Runs in the child between fork and exec: async-signal-safe calls only. Reports the exec's
// errno on `report`, which closes unwritten when the exec succeeds.
[[noreturn]] void execInGroup(pid_t parent, char* const argv[], char* const envp[], int input,
                              int output, int report) {
  ::setpgid(0, 0);
  ::prctl(PR_SET_PDEATHSIG, SIGKILL);
  if (::getppid() != parent) ::_exit(127);
  ::signal(SIGPIPE, SIG_DFL);  // ignored signals would stay ignored in the program
  ::dup2(input, 0);
  ::dup2(output, 1);
  ::dup2(output, 2);
  ::execvpe(argv[0], argv, envp);
  const int error = errno;
  io::writeAll(report, &error, sizeof error);
  ::_exit(127);
}

}  // namespace

std::unique_ptr<ProgramTree> ProgramTree::start(const std::vector<std::string>& arguments,
                                                const std::vector<std::string>& environment,
                                                const std::filesystem::path& logPath,
                                                std::string& error) {
  UniqueFd input(::open("/dev/null", O_RDONLY | O_CLOEXEC));
  UniqueFd log(::open(logPath.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600));
  int reportFds[2];
  if (!input || !log || ::pipe2(reportFds, O_CLOEXEC) != 0) {
    error = "cannot open " + logPath.string() + ": " + std::strerror(errno);
    return nullptr;
  }
  UniqueFd reportReader(reportFds[0]);
  UniqueFd reportWriter(reportFds[1]);
  ::prctl(PR_SET_CHILD_SUBREAPER, 1);

  std::vector<std::string> argumentCopies = arguments;
  std::vector<std::string> environmentCopies = environment;
  std::vector<char*> argv;
  for (std::string& argument : argumentCopies) argv.push_back(argument.data());
  argv.push_back(nullptr);
  std::vector<char*> envp;
  for (std::string& entry : environmentCopies) envp.push_back(entry.data());
  envp.push_back(nullptr);

  const pid_t parent = ::getpid();
  const pid_t pid = ::fork();
  if (pid < 0) {
    error = std::string("cannot start ") + arguments.front() + ": " + std::strerror(errno);
    return nullptr;
  }
  if (pid == 0) {
    execInGroup(parent, argv.data(), envp.data(), input.get(), log.get(), reportWriter.get());
  }
  ::setpgid(pid, pid);  // also here, so the group exists before start() returns
  reportWriter.reset();
  int execError = 0;
  if (io::readFully(reportReader.get(), &execError, sizeof execError).bytesRead ==
      sizeof execError) {
    int status = 0;
    ::waitpid(pid, &status, 0);
    error = "cannot start " + arguments.front() + ": " + std::strerror(execError);
    return nullptr;
  }
  return std::unique_ptr<ProgramTree>(new ProgramTree(pid));
}

ProgramTree::~ProgramTree() {
  stop();
}

void ProgramTree::noteExit(int status) {
  exitStatus_ = exitStatusOf(status);
}

std::optional<int> ProgramTree::exitStatus() {
  int status = 0;
  if (!exitStatus_ && ::waitpid(pid_, &status, WNOHANG) == pid_) noteExit(status);
  return exitStatus_;
}

bool ProgramTree::stop(std::chrono::milliseconds timeout) {
  if (stopped_) return true;
  ::kill(-pid_, SIGKILL);
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    killChildren();
    int status = 0;
    pid_t reaped = 0;
    while ((reaped = ::waitpid(-1, &status, WNOHANG)) > 0) {
      if (reaped == pid_) noteExit(status);
    }
    if (reaped < 0 && errno == ECHILD) return stopped_ = true;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

std::vector<std::string> environmentWith(const std::vector<std::string>& overrides) {
  std::map<std::string, std::string> merged;
  const auto add = [&merged](const std::string& entry) {
    const auto equals = entry.find('=');
    if (equals != std::string::npos) merged[entry.substr(0, equals)] = entry.substr(equals + 1);
  };
  for (char** entry = environ; *entry != nullptr; ++entry) add(*entry);
  for (const std::string& entry : overrides) add(entry);
  std::vector<std::string> entries;
  for (const auto& [name, value] : merged) entries.push_back(name + "=" + value);
  return entries;
}

}  // namespace platform::process
