#pragma once

#include <cstdint>
#include <functional>
#include <memory>

#include "platform/dispatch/serial_queue.h"

namespace platform::dispatch {

// A repeating timer whose handler runs on a serial queue (libdispatch's timer source).
// It starts suspended: schedule(), setEventHandler(), then resume(). Fires are computed from
// absolute deadlines (first + k × interval), so the rate does not drift; fires missed while the
// queue was busy or the clock jumped coalesce into one handler call. After cancel() has returned
// on the timer's queue the handler never runs again; cancel() from another thread guarantees no
// handler call starts after it returns. Methods are thread-safe. The queue must outlive the timer.
// On a ManualClock every advance()/set() that passes a deadline submits exactly one fire, so
// tests can count fires; only a jump over several deadlines coalesces them.
class TimerSource {
 public:
  explicit TimerSource(SerialQueue& queue);
  ~TimerSource();  // cancels
  TimerSource(const TimerSource&) = delete;
  TimerSource& operator=(const TimerSource&) = delete;

  // Deadlines are on the queue's clock. The leeway lets a fire come up to leewayNanos late.
  // An interval of 0, or one whose next deadline lies past UINT64_MAX, makes a one-shot timer.
  void schedule(uint64_t firstDeadlineNanos, uint64_t intervalNanos, uint64_t leewayNanos);
  void setEventHandler(std::function<void()> handler);
  void resume();
  void cancel();
  bool isCancelled() const;

  struct Impl;

 private:
  std::shared_ptr<Impl> impl_;
};

}  // namespace platform::dispatch
