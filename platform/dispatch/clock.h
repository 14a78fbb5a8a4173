#pragma once

#include <cstdint>
#include <memory>

namespace platform::dispatch {

// A source of time in nanoseconds. Queues and timers schedule against absolute deadlines on
// their clock, so tests can swap the host clock for a ManualClock and run a 30 fps timer
// without sleeping. Thread-safe.
class Clock {
 public:
  virtual ~Clock() = default;
  virtual uint64_t nowNanos() const = 0;
};

// The host clock: CLOCK_MONOTONIC in nanoseconds, the time base of every host time stamp.
std::shared_ptr<Clock> hostClock();

// A clock that moves only when told. advance() and set() return after every delayed work item
// and timer fire that became due has been submitted to its queue, so a following sync() on that
// queue has seen them run. Thread-safe.
class ManualClock : public Clock {
 public:
  explicit ManualClock(uint64_t startNanos = 1'000'000'000);
  ~ManualClock() override;

  uint64_t nowNanos() const override;
  void advance(uint64_t nanos);
  void set(uint64_t nanos);  // never moves backwards: an earlier value is ignored

  // Called by queues to be told when time moved; the implementation keeps the registry.
  class Listener {
   public:
    virtual ~Listener() = default;
    virtual void clockMoved() = 0;  // runs on the thread that called advance()/set()
  };
  void addListener(Listener* listener);
  void removeListener(Listener* listener);

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace platform::dispatch
