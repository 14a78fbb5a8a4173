#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "platform/dispatch/clock.h"

namespace platform::dispatch {

// Threading words, as used on every class and method of the tree:
// - Thread-safe (a class): every method may be called from any thread, also at the same time.
// - Any thread (a method): may be called from any thread, also at the same time as the class's
//   other methods; it synchronises what it touches itself.
// - Queue-bound ("runs on the frame queue", "status queue only"): called, or touched, only from
//   work running on that serial queue, which owns the state and needs no lock for it. Checked by
//   assertOnQueue() in builds with assertions (debug and sanitizer builds).
// - Calling thread: one thread at a time, the caller's; the class does not synchronise it.
// Fields shared between threads are atomics or marked QLN_GUARDED_BY a named mutex
// (platform/base/mutex.h), which clang's thread-safety analysis checks.

// A serial dispatch queue: work runs one item at a time, in submission order (FIFO), on the
// queue's own worker thread. Delayed work runs at or after its deadline on the queue's clock.
// All methods are thread-safe. Destroying the queue runs work already submitted with async() and
// drops delayed work not yet due: from another thread it waits for the worker to finish; from the
// queue's own work (its last owner released there) it runs that work at once, inside the
// destructor, and lets the worker end on its own.
class SerialQueue {
 public:
  explicit SerialQueue(std::string label, std::shared_ptr<Clock> clock = hostClock());
  ~SerialQueue();
  SerialQueue(const SerialQueue&) = delete;
  SerialQueue& operator=(const SerialQueue&) = delete;

  const std::string& label() const;
  const std::shared_ptr<Clock>& clock() const;

  // Submits work and returns at once.
  void async(std::function<void()> work);

  // Submits work and waits until it has run. Calling it from the queue's own thread would
  // deadlock, as in libdispatch; that is a programming error and aborts with a message.
  void sync(const std::function<void()>& work);

  // Submits work to run once the queue's clock reaches deadlineNanos.
  void asyncAfter(uint64_t deadlineNanos, std::function<void()> work);

  // True when called from work running on this queue.
  bool isCurrent() const;

  struct Impl;

 private:
  std::shared_ptr<Impl> impl_;
  friend class TimerSource;
};

// Aborts with the queue's label when not called from work on `queue`: queue-bound code called
// from elsewhere would race. Checked only in builds with assertions.
[[noreturn]] void confinementBroken(const SerialQueue& queue);
inline void assertOnQueue([[maybe_unused]] const SerialQueue& queue) {
#ifndef NDEBUG
  if (!queue.isCurrent()) confinementBroken(queue);
#endif
}

}  // namespace platform::dispatch
