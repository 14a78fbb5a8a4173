#include "platform/dispatch/semaphore.h"

#include "platform/dispatch/steady_deadline_linux.h"

namespace platform::dispatch {

Semaphore::Semaphore(long initialCount) : count_(initialCount) {}

// Notifies under the lock: a waiter may destroy the semaphore as soon as its wait returns.
void Semaphore::signal() {
  std::lock_guard lock(mutex_);
  ++count_;
  changed_.notify_one();
}

bool Semaphore::waitUntil(uint64_t deadlineNanos) {
  std::unique_lock lock(mutex_);
  const auto deadline = steadyDeadline(*hostClock(), deadlineNanos);
  if (!changed_.wait_until(lock, deadline, [this] { return count_ > 0; })) return false;
  --count_;
  return true;
}

void Semaphore::wait() {
  std::unique_lock lock(mutex_);
  changed_.wait(lock, [this] { return count_ > 0; });
  --count_;
}

}  // namespace platform::dispatch
