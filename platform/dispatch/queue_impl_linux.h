#pragma once

#include <atomic>
#include <cassert>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include "platform/base/mutex.h"
#include "platform/dispatch/clock.h"
#include "platform/dispatch/serial_queue.h"
#include "platform/dispatch/timer_source.h"

namespace platform::dispatch {

// The worker behind a SerialQueue: a FIFO of ready work and a deadline-ordered set of delayed
// work and armed timers, all under `mutex`. Due entries join the FIFO in deadline order.
// With a ManualClock that happens on the thread that moves the clock, and every move that passes
// a timer deadline submits one fire, so tests can count fires exactly. With real time the worker
// looks before each item and sleeps until the earliest deadline; a timer whose fire is still
// waiting in the FIFO then absorbs the deadlines that pass meanwhile instead of piling up.
struct SerialQueue::Impl final : ManualClock::Listener {
  Impl(std::string queueLabel, std::shared_ptr<Clock> queueClock);
  ~Impl() override;

  // Starts the worker thread; it keeps `self` alive until it has finished. Called once.
  void startWorker(std::shared_ptr<Impl> self);

  // Any thread.
  void enqueue(std::function<void()> work);
  void enqueueAfter(uint64_t deadlineNanos, std::function<void()> work);
  // Runs work already submitted, drops delayed work and ends the worker: joined from another
  // thread; called from the worker (a queue released by its own work), the submitted work runs
  // at once and the worker ends on its own. Called once, by ~SerialQueue; later submissions of
  // delayed work are dropped.
  void stop();
  bool isCurrent() const;

  // On the thread that moved the ManualClock.
  void clockMoved() override;

  // The timer stays armed until withdrawn; ignored once stopping.
  void armTimerLocked(uint64_t deadlineNanos, TimerSource::Impl* timer) QLN_REQUIRES(mutex);
  void withdrawTimerLocked(const TimerSource::Impl* timer) QLN_REQUIRES(mutex);

  const std::string label;
  const std::shared_ptr<Clock> clock;

  base::Mutex mutex;

 private:
  // Either work to run once, or an armed timer (which then has no work of its own).
  struct Delayed {
    std::function<void()> work;
    TimerSource::Impl* timer;
  };

  void insertLocked(uint64_t deadlineNanos, Delayed delayed) QLN_REQUIRES(mutex);
  void promoteDueLocked() QLN_REQUIRES(mutex);
  void runWorker();
  // Runs the ready work on the calling thread (the worker itself) until none is left.
  void runReadyInline();

  ManualClock* const manualClock_;  // the same object as `clock`, when it is a ManualClock
  std::condition_variable workAvailable_;
  std::deque<std::function<void()>> ready_ QLN_GUARDED_BY(mutex);
  std::multimap<uint64_t, Delayed> delayed_ QLN_GUARDED_BY(mutex);  // equal keys keep order
  bool stopping_ QLN_GUARDED_BY(mutex) = false;
  std::thread worker_;
};

// Timer state lives under the queue's mutex, so arming, firing and cancelling are ordered with
// the queue's scheduling. While armed, the queue holds a plain pointer: cancel(), which the
// destructor calls, withdraws it. Queued fires hold a shared_ptr, so they may outlive the timer.
struct TimerSource::Impl : std::enable_shared_from_this<TimerSource::Impl> {
  using Handler = std::function<void()>;

  explicit Impl(std::shared_ptr<SerialQueue::Impl> timerQueue) : queue(std::move(timerQueue)) {}

  // Replaces any armed fire with one at firstNanos.
  void rearmLocked() QLN_REQUIRES(queue->mutex);
  // The work the queue runs when the armed deadline passed; marks a fire pending.
  std::function<void()> fireWorkLocked() QLN_REQUIRES(queue->mutex);
  // Where the queue re-arms after a fire: the first deadline first + k × interval later than
  // now, so deadlines missed meanwhile coalesce into one fire and the rate does not drift.
  std::optional<uint64_t> nextDeadlineAfterLocked(uint64_t nowNanos) const
      QLN_REQUIRES(queue->mutex);
  // Runs on the queue. A fire from an older schedule, or one queued before cancel, does nothing.
  void fire(uint64_t firedGeneration);
  // Called by the queue handling this armed timer under its mutex: an armed timer belongs to
  // that queue, so the lock held is this timer's too. Checked in builds with assertions.
  void assertArmedOn([[maybe_unused]] const SerialQueue::Impl& holder) const
      QLN_REQUIRES(holder.mutex) QLN_ASSERT_CAPABILITY(queue->mutex) {
    assert(queue.get() == &holder);
  }

  const std::shared_ptr<SerialQueue::Impl> queue;
  uint64_t firstNanos QLN_GUARDED_BY(queue->mutex) = 0;
  // 0 (or one reaching past the clock's range): fires once.
  uint64_t intervalNanos QLN_GUARDED_BY(queue->mutex) = 0;
  bool scheduled QLN_GUARDED_BY(queue->mutex) = false;
  bool resumed QLN_GUARDED_BY(queue->mutex) = false;
  // Written under queue->mutex; atomic so that isCancelled() needs no lock.
  std::atomic<bool> cancelled = false;
  // Bumped by every schedule(), to drop fires queued before it.
  uint64_t generation QLN_GUARDED_BY(queue->mutex) = 0;
  // A fire of this generation is queued and has not started.
  bool firePending QLN_GUARDED_BY(queue->mutex) = false;
  std::shared_ptr<const Handler> handler QLN_GUARDED_BY(queue->mutex);
};

}  // namespace platform::dispatch
