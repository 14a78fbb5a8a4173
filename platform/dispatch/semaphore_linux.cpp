#include "platform/dispatch/semaphore.h"

#include <utility>

#include "platform/dispatch/steady_deadline_linux.h"

namespace platform::dispatch {

Semaphore::Semaphore(long initialCount, std::shared_ptr<Clock> clock)
    : clock_(std::move(clock)),
      manualClock_(dynamic_cast<ManualClock*>(clock_.get())),
      count_(initialCount) {
  if (manualClock_ != nullptr) manualClock_->addListener(this);
}

Semaphore::~Semaphore() {
  if (manualClock_ != nullptr) manualClock_->removeListener(this);
}

// Notifies under the lock: a waiter may destroy the semaphore as soon as its wait returns.
void Semaphore::signal() {
  std::lock_guard lock(mutex_);
  ++count_;
  changed_.notify_one();
}

bool Semaphore::waitUntil(uint64_t deadlineNanos) {
  std::unique_lock lock(mutex_);
  const auto available = [this] { return count_ > 0; };
  if (manualClock_ != nullptr) {
    changed_.wait(lock, [&] { return available() || clock_->nowNanos() >= deadlineNanos; });
  } else {
    changed_.wait_until(lock, steadyDeadline(*clock_, deadlineNanos), available);
  }
  if (!available()) return false;
  --count_;
  return true;
}

void Semaphore::wait() {
  std::unique_lock lock(mutex_);
  changed_.wait(lock, [this] { return count_ > 0; });
  --count_;
}

void Semaphore::clockMoved() {
  std::lock_guard lock(mutex_);
  changed_.notify_all();
}

}  // namespace platform::dispatch
