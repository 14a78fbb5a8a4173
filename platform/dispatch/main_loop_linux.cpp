#include "platform/dispatch/main_loop.h"

#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <vector>

namespace platform::dispatch {
namespace {

// quit()'s mark on the SIGTERM it queues to the process, which tells it from one sent from outside.
constexpr int kQuitMark = 0x51554954;  // "QUIT"

bool isQuit(const siginfo_t& info) {
  return info.si_code == SI_QUEUE && info.si_pid == ::getpid() &&
         info.si_value.sival_int == kQuitMark;
}

sigset_t terminationSignals() {
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGTERM);
  sigaddset(&signals, SIGINT);
  return signals;
}

}  // namespace

// The signals are blocked in this thread, and so in every thread it starts afterwards: they stay
// pending for the process until run() takes one with sigwaitinfo().
MainLoop::MainLoop() {
  const sigset_t signals = terminationSignals();
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
}

// A quit() that run() did not take goes with the loop; a termination signal that it did not take
// ends the process once the signals are unblocked, as it would have without the loop.
MainLoop::~MainLoop() {
  const sigset_t signals = terminationSignals();
  const timespec immediately{};
  siginfo_t info{};
  int signal = 0;
  std::vector<int> outside;
  while ((signal = sigtimedwait(&signals, &info, &immediately)) > 0) {
    if (!isQuit(info)) outside.push_back(signal);
  }
  pthread_sigmask(SIG_UNBLOCK, &signals, nullptr);
  for (int number : outside) ::raise(number);
}

int MainLoop::run() {
  const sigset_t signals = terminationSignals();
  siginfo_t info{};
  int signal = 0;
  while ((signal = sigwaitinfo(&signals, &info)) < 0) {
    // Interrupted: keep waiting.
  }
  return isQuit(info) ? 0 : signal;
}

void MainLoop::quit() {
  sigval mark{};
  mark.sival_int = kQuitMark;
  ::sigqueue(::getpid(), SIGTERM, mark);
}

}  // namespace platform::dispatch
