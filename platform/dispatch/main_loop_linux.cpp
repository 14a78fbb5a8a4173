#include "platform/dispatch/main_loop.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

namespace platform::dispatch {
namespace {

constexpr int kTerminationSignals[] = {SIGTERM, SIGINT};

// The handler's only way out: one byte per signal into a pipe that run() reads. Whichever thread
// the kernel picks runs the handler; write() is async-signal-safe.
int wakeReader = -1;
int wakeWriter = -1;
struct sigaction previous[2];

void noteSignal(int signal) {
  const int savedErrno = errno;
  const unsigned char byte = static_cast<unsigned char>(signal);
  [[maybe_unused]] ssize_t written = ::write(wakeWriter, &byte, 1);
  errno = savedErrno;
}

}  // namespace

MainLoop::MainLoop() {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) {
    std::perror("MainLoop: pipe2");
    std::abort();
  }
  wakeReader = fds[0];
  wakeWriter = fds[1];
  struct sigaction action = {};
  action.sa_handler = noteSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  for (int i = 0; i < 2; ++i) sigaction(kTerminationSignals[i], &action, &previous[i]);
}

MainLoop::~MainLoop() {
  for (int i = 0; i < 2; ++i) sigaction(kTerminationSignals[i], &previous[i], nullptr);
  ::close(wakeReader);
  ::close(wakeWriter);
  wakeReader = wakeWriter = -1;
}

int MainLoop::run() {
  unsigned char signal = 0;
  ssize_t got = 0;
  do {
    got = ::read(wakeReader, &signal, 1);
  } while (got < 0 && errno == EINTR);
  // The pipe cannot end while the loop exists; a failed read ends the loop like SIGTERM.
  return got == 1 ? signal : SIGTERM;
}

}  // namespace platform::dispatch
