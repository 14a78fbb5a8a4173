#include "platform/dispatch/main_loop.h"

#include <pthread.h>
#include <signal.h>

namespace platform::dispatch {
namespace {

sigset_t terminationSignals() {
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGTERM);
  sigaddset(&signals, SIGINT);
  return signals;
}

}  // namespace

// The signals are blocked in this thread, and so in every thread it starts afterwards: they stay
// pending for the process until run() takes one with sigwait().
MainLoop::MainLoop() {
  const sigset_t signals = terminationSignals();
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
}

MainLoop::~MainLoop() {
  const sigset_t signals = terminationSignals();
  pthread_sigmask(SIG_UNBLOCK, &signals, nullptr);
}

int MainLoop::run() {
  const sigset_t signals = terminationSignals();
  int signal = 0;
  while (sigwait(&signals, &signal) != 0) {
    // Interrupted: keep waiting.
  }
  return signal;
}

}  // namespace platform::dispatch
