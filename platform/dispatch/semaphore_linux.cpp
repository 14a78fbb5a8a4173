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
  base::MutexLock lock(mutex_);
  ++count_;
  changed_.notify_one();
}

bool Semaphore::waitUntil(uint64_t deadlineNanos) {
  base::MutexLock lock(mutex_);
  if (manualClock_ != nullptr) {
    while (count_ <= 0 && clock_->nowNanos() < deadlineNanos) lock.wait(changed_);
  } else {
    const auto deadline = steadyDeadline(*clock_, deadlineNanos);
    while (count_ <= 0) {
      if (!lock.waitUntil(changed_, deadline)) break;
    }
  }
  if (count_ <= 0) return false;
  --count_;
  return true;
}

void Semaphore::wait() {
  base::MutexLock lock(mutex_);
  while (count_ <= 0) lock.wait(changed_);
  --count_;
}

void Semaphore::clockMoved() {
  base::MutexLock lock(mutex_);
  changed_.notify_all();
}

}  // namespace platform::dispatch
