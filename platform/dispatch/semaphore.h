#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace platform::dispatch {

// A counting semaphore (dispatch semaphore). Thread-safe.
class Semaphore {
 public:
  explicit Semaphore(long initialCount = 0);

  void signal();
  // Waits until the count is positive and takes one; false when deadlineNanos on the host
  // clock passed first.
  bool waitUntil(uint64_t deadlineNanos);
  void wait();

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  long count_;
};

}  // namespace platform::dispatch
