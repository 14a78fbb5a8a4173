#include "tests/integration/child_process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <stdexcept>

#include "platform/process/program_tree.h"

namespace quillane::integration {
namespace {

std::pair<platform::base::UniqueFd, platform::base::UniqueFd> makePipe() {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe2 failed");
  return {platform::base::UniqueFd(fds[0]), platform::base::UniqueFd(fds[1])};
}

}  // namespace

ChildProcess::ChildProcess(std::vector<std::string> arguments,
                           std::map<std::string, std::string> environment) {
  auto [inputReader, inputWriter] = makePipe();
  auto [outputReader, outputWriter] = makePipe();
  auto [errorReader, errorWriter] = makePipe();
  std::vector<char*> argv;
  for (std::string& argument : arguments) argv.push_back(argument.data());
  argv.push_back(nullptr);
  std::vector<std::string> overrides;
  for (const auto& [name, value] : environment) overrides.push_back(name + "=" + value);
  std::vector<std::string> entries = platform::process::environmentWith(overrides);
  std::vector<char*> envp;
  for (std::string& entry : entries) envp.push_back(entry.data());
  envp.push_back(nullptr);
  const pid_t parent = ::getpid();
  pid_ = ::fork();
  if (pid_ < 0) throw std::runtime_error("cannot start " + arguments[0]);
  if (pid_ == 0) {
    // Only async-signal-safe calls until exec. The program dies with the test, also when the
    // test process itself dies, so nothing it started outlives it.
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (::getppid() != parent) ::_exit(127);
    ::dup2(inputReader.get(), 0);
    ::dup2(outputWriter.get(), 1);
    ::dup2(errorWriter.get(), 2);
    ::execvpe(argv[0], argv.data(), envp.data());
    ::_exit(127);
  }
  input_ = std::move(inputWriter);
  outputReader_ =
      std::thread([this, fd = std::move(outputReader)]() mutable { collect(std::move(fd), true); });
  errorReader_ =
      std::thread([this, fd = std::move(errorReader)]() mutable { collect(std::move(fd), false); });
}

ChildProcess::~ChildProcess() {
  input_.reset();
  if (!waitForExit(std::chrono::milliseconds(0))) {
    ::kill(pid_, SIGKILL);
    waitForExit(std::chrono::seconds(10));
  }
  outputReader_.join();
  errorReader_.join();
}

bool ChildProcess::write(const std::string& bytes) {
  std::size_t done = 0;
  while (done < bytes.size() && input_) {
    const ssize_t wrote = ::write(input_.get(), bytes.data() + done, bytes.size() - done);
    if (wrote <= 0) return false;
    done += static_cast<std::size_t>(wrote);
  }
  return done == bytes.size();
}

void ChildProcess::closeInput() {
  input_.reset();
}

void ChildProcess::signal(int number) {
  if (!exitStatus_) ::kill(pid_, number);
}

void ChildProcess::collect(platform::base::UniqueFd from, bool output) {
  char chunk[4096];
  ssize_t got = 0;
  while ((got = ::read(from.get(), chunk, sizeof chunk)) > 0) {
    std::lock_guard lock(mutex_);
    if (!output) {
      errors_.append(chunk, static_cast<std::size_t>(got));
      continue;
    }
    partial_.append(chunk, static_cast<std::size_t>(got));
    std::size_t end = 0;
    while ((end = partial_.find('\n')) != std::string::npos) {
      lines_.push_back(partial_.substr(0, end));
      partial_.erase(0, end + 1);
    }
    changed_.notify_all();
  }
  std::lock_guard lock(mutex_);
  (output ? outputEnded_ : errorsEnded_) = true;
  changed_.notify_all();
}

std::optional<std::string> ChildProcess::waitForLine(
    const std::function<bool(const std::string&)>& matches, std::chrono::milliseconds timeout) {
  std::unique_lock lock(mutex_);
  std::size_t seen = 0;
  std::optional<std::string> found;
  changed_.wait_for(lock, timeout, [&] {
    for (; seen < lines_.size(); ++seen) {
      if (matches(lines_[seen])) {
        found = lines_[seen];
        return true;
      }
    }
    return false;
  });
  return found;
}

std::vector<std::string> ChildProcess::outputLines() const {
  std::lock_guard lock(mutex_);
  return lines_;
}

std::string ChildProcess::errorText() const {
  std::lock_guard lock(mutex_);
  return errors_;
}

std::optional<int> ChildProcess::waitForExit(std::chrono::milliseconds timeout) {
  if (exitStatus_) return exitStatus_;
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (true) {
    int status = 0;
    if (::waitpid(pid_, &status, WNOHANG) == pid_) {
      exitStatus_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      // What it wrote last is still on its way through the pipes.
      std::unique_lock lock(mutex_);
      changed_.wait_until(lock, deadline, [&] { return outputEnded_ && errorsEnded_; });
      return exitStatus_;
    }
    if (std::chrono::steady_clock::now() >= deadline) return std::nullopt;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

bool waitUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!condition()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

}  // namespace quillane::integration
