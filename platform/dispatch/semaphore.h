#pragma once

#include <condition_variable>
#include <cstdint>
#include <memory>

#include "platform/base/mutex.h"
#include "platform/dispatch/clock.h"

namespace platform::dispatch {

// A counting semaphore (dispatch semaphore) whose deadlines are on its clock. On a ManualClock a
// waiter gives up when the clock is moved to its deadline, so tests time out without waiting.
// Thread-safe.
class Semaphore : private ManualClock::Listener {
 public:
  explicit Semaphore(long initialCount = 0, std::shared_ptr<Clock> clock = hostClock());
  ~Semaphore() override;
  Semaphore(const Semaphore&) = delete;
  Semaphore& operator=(const Semaphore&) = delete;

  void signal();
  // Waits until the count is positive and takes one; false when the clock reached
  // deadlineNanos first.
  bool waitUntil(uint64_t deadlineNanos);
  void wait();

 private:
  // On the thread that moved the ManualClock: wakes waiters to look at the clock again.
  void clockMoved() override;

  const std::shared_ptr<Clock> clock_;
  ManualClock* const manualClock_;  // the same object as clock_, when it is a ManualClock
  base::Mutex mutex_;
  std::condition_variable changed_;
  long count_ QLN_GUARDED_BY(mutex_);
};

}  // namespace platform::dispatch
