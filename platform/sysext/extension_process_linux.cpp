#include "platform/sysext/extension_process_linux.h"

#include <fcntl.h>
#include <linux/close_range.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <string>
#include <utility>

#include "platform/faults/fault_injection.h"
#include "platform/io/file_descriptor.h"
#include "platform/sysext/descriptors_linux.h"
#include "platform/sysext/request_failure_linux.h"

extern char** environ;

namespace platform::sysext {
namespace {

// How long an instance may take to end after SIGKILL, which it cannot refuse.
constexpr std::chrono::seconds kKillTimeout{5};

// System calls without a C++-ready declaration in this C library.
int pidfdOpen(pid_t pid) {
  return static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
}
int pidfdSendSignal(int pidfd, int signal) {
  return static_cast<int>(::syscall(SYS_pidfd_send_signal, pidfd, signal, nullptr, 0));
}

// Runs in the detached process between fork and exec, so it calls only async-signal-safe
// functions. It reports its process id and, when the exec fails, the exec's errno; the report
// pipe closes on a successful exec.
[[noreturn]] void execDetached(const char* path, char* const argv[], int input, int output,
                               int lock, int report) {
  const pid_t self = ::getpid();
  (void)io::writeAll(report, &self, sizeof self);
  sigset_t none;
  ::sigemptyset(&none);
  ::sigprocmask(SIG_SETMASK, &none, nullptr);
  // Ignored signals stay ignored across exec; the extension starts with every default.
  struct sigaction byDefault {};
  byDefault.sa_handler = SIG_DFL;
  for (int signal = 1; signal < NSIG; ++signal) ::sigaction(signal, &byDefault, nullptr);
  int failure = 0;
  if (::dup2(input, STDIN_FILENO) < 0 || ::dup2(output, STDOUT_FILENO) < 0 ||
      ::dup2(output, STDERR_FILENO) < 0 || ::chdir("/") != 0) {
    failure = errno;
  } else {
    // Descriptors that other threads opened without close-on-exec stay out of the extension;
    // the lock's is the one that stays open.
    ::close_range(STDERR_FILENO + 1, ~0U, CLOSE_RANGE_CLOEXEC);
    if (::fcntl(lock, F_SETFD, 0) == 0) ::execve(path, argv, environ);
    failure = errno;
  }
  // Let go of the lock before the parent hears of the failure, so it alone holds it then.
  ::close(lock);
  (void)io::writeAll(report, &failure, sizeof failure);
  ::_exit(127);
}

// True when the process behind `pidfd` ended within `timeout`.
bool waitForEnd(int pidfd, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (true) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    pollfd entry{pidfd, POLLIN, 0};
    const int ready = ::poll(&entry, 1, static_cast<int>(std::max<int64_t>(left.count(), 0)));
    if (ready > 0) return true;
    if (ready == 0) return false;
    if (errno != EINTR) throw systemFailure("cannot wait for the extension's process");
  }
}

}  // namespace

ExtensionProcess::ExtensionProcess(std::filesystem::path instanceLock)
    : instanceLock_(std::move(instanceLock)) {}

std::optional<base::UniqueFd> ExtensionProcess::lockIfFree() const {
  base::UniqueFd lock(::open(instanceLock_.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600));
  if (!lock) throw systemFailure("cannot open " + instanceLock_.string());
  lock = clearOfStandardStreams(std::move(lock));
  if (::flock(lock.get(), LOCK_EX | LOCK_NB) == 0) return lock;
  if (errno == EWOULDBLOCK) return std::nullopt;
  throw systemFailure("cannot lock " + instanceLock_.string());
}

std::optional<pid_t> ExtensionProcess::runningInstance() const {
  if (lockIfFree()) return std::nullopt;
  pid_t pid = 0;
  std::ifstream(instanceLock_) >> pid;
  if (pid <= 0) {
    throw RequestFailure(
        kErrorUnknown, instanceLock_.string() + " is held by a process whose id it does not name");
  }
  return pid;
}

void ExtensionProcess::stop(std::chrono::milliseconds grace) const {
  const std::optional<pid_t> pid = runningInstance();
  if (!pid) return;
  const base::UniqueFd process(pidfdOpen(*pid));
  if (!process) {
    if (errno == ESRCH) return;
    throw systemFailure("cannot reach process " + std::to_string(*pid));
  }
  // Still held while the descriptor is open: it names the instance, not a later process that
  // took over the id.
  if (!runningInstance()) return;
  const std::pair<int, std::chrono::milliseconds> steps[] = {{SIGTERM, grace},
                                                             {SIGKILL, kKillTimeout}};
  for (const auto& [signal, timeout] : steps) {
    if (pidfdSendSignal(process.get(), signal) != 0 && errno != ESRCH) {
      throw systemFailure("cannot signal process " + std::to_string(*pid));
    }
    if (waitForEnd(process.get(), timeout)) return;
  }
  throw RequestFailure(kErrorUnknown, "process " + std::to_string(*pid) +
                                          " of the extension outlived SIGTERM and SIGKILL");
}

void ExtensionProcess::start(const std::filesystem::path& executable,
                             const std::filesystem::path& log) const {
  const std::optional<base::UniqueFd> lock = lockIfFree();
  if (!lock) throw RequestFailure(kErrorUnknown, "an instance of the extension runs already");
  const base::UniqueFd output = clearOfStandardStreams(
      base::UniqueFd(::open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600)));
  if (!output) throw systemFailure("cannot open the log " + log.string());
  const base::UniqueFd input =
      clearOfStandardStreams(base::UniqueFd(::open("/dev/null", O_RDONLY | O_CLOEXEC)));
  if (!input) throw systemFailure("cannot open /dev/null");
  int ends[2];
  if (::pipe2(ends, O_CLOEXEC) != 0) throw systemFailure("cannot make a pipe");
  const base::UniqueFd reportReader(ends[0]);
  base::UniqueFd reportWriter = clearOfStandardStreams(base::UniqueFd(ends[1]));
  std::string path = executable.string();
  char* const argv[] = {path.data(), nullptr};

  const pid_t intermediate = ::fork();
  if (intermediate < 0) throw systemFailure("cannot start " + path);
  if (intermediate == 0) {
    // The extension is the grandchild: not a session leader, so it never gains a controlling
    // terminal, and adopted by init, so nobody here has to reap it.
    ::setsid();
    const pid_t child = ::fork();
    if (child == 0) {
      execDetached(path.c_str(), argv, input.get(), output.get(), lock->get(), reportWriter.get());
    }
    ::_exit(child < 0 ? 1 : 0);
  }
  reportWriter.reset();
  while (::waitpid(intermediate, nullptr, 0) < 0 && errno == EINTR) {
  }
  pid_t pid = 0;
  if (io::readFully(reportReader.get(), &pid, sizeof pid).bytesRead != sizeof pid) {
    throw RequestFailure(kErrorUnknown, "cannot start " + path + ": no process to run it in");
  }
  int failure = 0;
  if (io::readFully(reportReader.get(), &failure, sizeof failure).bytesRead == sizeof failure) {
    throw RequestFailure(kErrorUnknown, "cannot start " + path + ": " + std::strerror(failure));
  }
  const std::string pidText = std::to_string(pid);
  if (faults::shouldFail(faults::Fault::RecordProcessId) || ::ftruncate(lock->get(), 0) != 0 ||
      ::pwrite(lock->get(), pidText.data(), pidText.size(), 0) !=
          static_cast<ssize_t>(pidText.size())) {
    const RequestFailure failed = systemFailure("cannot record the extension's process id");
    // An instance nobody can name could never be stopped: it ends before the failure is told.
    const base::UniqueFd process(pidfdOpen(pid));
    if (process && pidfdSendSignal(process.get(), SIGKILL) == 0) {
      waitForEnd(process.get(), kKillTimeout);
    }
    throw failed;
  }
}

}  // namespace platform::sysext
