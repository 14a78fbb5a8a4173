#include <time.h>

#include <algorithm>
#include <atomic>
#include <vector>

#include "platform/base/mutex.h"
#include "platform/dispatch/clock.h"

namespace platform::dispatch {

namespace {

class HostClock final : public Clock {
 public:
  uint64_t nowNanos() const override {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<uint64_t>(now.tv_sec) * 1'000'000'000u + static_cast<uint64_t>(now.tv_nsec);
  }
};

}  // namespace

std::shared_ptr<Clock> hostClock() {
  static const std::shared_ptr<Clock> clock = std::make_shared<HostClock>();
  return clock;
}

// `movingMutex` serialises moves with each other and with listener registration, so a listener
// being removed is never in the middle of clockMoved() once removeListener() returns.
struct ManualClock::State {
  std::atomic<uint64_t> now;
  base::Mutex movingMutex;
  std::vector<Listener*> listeners QLN_GUARDED_BY(movingMutex);

  explicit State(uint64_t startNanos) : now(startNanos) {}
};

ManualClock::ManualClock(uint64_t startNanos) : state_(std::make_unique<State>(startNanos)) {}

ManualClock::~ManualClock() = default;

uint64_t ManualClock::nowNanos() const {
  return state_->now.load(std::memory_order_acquire);
}

void ManualClock::advance(uint64_t nanos) {
  base::MutexLock lock(state_->movingMutex);
  state_->now.fetch_add(nanos, std::memory_order_acq_rel);
  for (Listener* listener : state_->listeners) listener->clockMoved();
}

void ManualClock::set(uint64_t nanos) {
  base::MutexLock lock(state_->movingMutex);
  if (nanos <= state_->now.load(std::memory_order_acquire)) return;
  state_->now.store(nanos, std::memory_order_release);
  for (Listener* listener : state_->listeners) listener->clockMoved();
}

void ManualClock::addListener(Listener* listener) {
  base::MutexLock lock(state_->movingMutex);
  state_->listeners.push_back(listener);
}

void ManualClock::removeListener(Listener* listener) {
  base::MutexLock lock(state_->movingMutex);
  std::erase(state_->listeners, listener);
}

}  // namespace platform::dispatch
