#include "platform/sysext/user_service_manager_linux.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstring>
#include <optional>
#include <sstream>
#include <utility>

#include "platform/base/unique_fd.h"
#include "platform/sysext/descriptors_linux.h"

extern char** environ;

namespace platform::sysext {
namespace {

constexpr std::chrono::seconds kCallTimeout{5};

// The child's exit status; a signal counts as a failure.
bool exitedWell(pid_t child) {
  int status = 0;
  while (::waitpid(child, &status, 0) < 0) {
    if (errno != EINTR) return false;
  }
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// Standard output and error of the child, until both close; none when `timeout` passed first.
std::optional<std::string> readUntilClosed(int from, std::chrono::steady_clock::duration timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  std::string text;
  while (true) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    pollfd entry{from, POLLIN, 0};
    const int ready = ::poll(&entry, 1, static_cast<int>(std::max<int64_t>(left.count(), 0)));
    if (ready == 0) return std::nullopt;
    if (ready < 0) {
      if (errno == EINTR) continue;
      return text;
    }
    char chunk[4096];
    const ssize_t got = ::read(from, chunk, sizeof chunk);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return text;
    text.append(chunk, static_cast<size_t>(got));
  }
}

std::string trimmed(std::string text) {
  while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back()))) text.pop_back();
  return text;
}

}  // namespace

UserServiceManager::UserServiceManager(std::filesystem::path control)
    : control_(std::move(control)) {}

bool UserServiceManager::loadsUnitsFrom(const std::filesystem::path& folder) const {
  std::string paths;
  try {
    paths = call({"show", "--property=UnitPath", "--value"});
  } catch (const Refusal&) {
    return false;
  }
  const std::filesystem::path wanted = (folder / "").lexically_normal();
  std::istringstream words(paths);
  for (std::string path; words >> path;) {
    if ((std::filesystem::path(path) / "").lexically_normal() == wanted) return true;
  }
  return false;
}

void UserServiceManager::reload() const {
  call({"daemon-reload"});
}

void UserServiceManager::start(const std::string& unit) const {
  call({"start", unit});
}

void UserServiceManager::stop(const std::string& unit) const {
  call({"stop", unit});
}

void UserServiceManager::forgetFailure(const std::string& unit) const {
  call({"reset-failed", unit});
}

std::string UserServiceManager::call(std::vector<std::string> arguments) const {
  arguments.insert(arguments.begin(), {control_.string(), "--user", "--no-pager"});
  std::vector<char*> argv;
  for (std::string& argument : arguments) argv.push_back(argument.data());
  argv.push_back(nullptr);
  const std::string what = control_.string() + " --user " + arguments[3];

  int ends[2];
  if (::pipe2(ends, O_CLOEXEC) != 0) throw Refusal("cannot make a pipe for " + what);
  const base::UniqueFd reader(ends[0]);
  base::UniqueFd writer = clearOfStandardStreams(base::UniqueFd(ends[1]));
  posix_spawn_file_actions_t actions;
  ::posix_spawn_file_actions_init(&actions);
  ::posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  ::posix_spawn_file_actions_adddup2(&actions, writer.get(), STDOUT_FILENO);
  ::posix_spawn_file_actions_adddup2(&actions, writer.get(), STDERR_FILENO);
  pid_t child = 0;
  const int spawned = ::posix_spawnp(&child, argv[0], &actions, nullptr, argv.data(), environ);
  ::posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0) throw Refusal("cannot run " + what + ": " + std::strerror(spawned));
  writer.reset();

  const std::optional<std::string> output = readUntilClosed(reader.get(), kCallTimeout);
  if (!output) ::kill(child, SIGKILL);
  const bool succeeded = exitedWell(child);
  if (!output) {
    throw Refusal(what + " did not answer within " + std::to_string(kCallTimeout.count()) + " s");
  }
  if (!succeeded) throw Refusal(what + " failed: " + trimmed(*output));
  return *output;
}

}  // namespace platform::sysext
