#include <utility>

#include "platform/dispatch/queue_impl_linux.h"
#include "platform/dispatch/timer_source.h"

namespace platform::dispatch {

void TimerSource::Impl::rearmLocked() {
  queue->withdrawTimerLocked(this);
  ++generation;
  firePending = false;
  if (scheduled && resumed && !cancelled) queue->armTimerLocked(firstNanos, this);
}

std::function<void()> TimerSource::Impl::fireWorkLocked() {
  firePending = true;
  return [self = shared_from_this(), firedGeneration = generation] { self->fire(firedGeneration); };
}

std::optional<uint64_t> TimerSource::Impl::nextDeadlineAfterLocked(uint64_t nowNanos) const {
  if (intervalNanos == 0) return std::nullopt;
  if (nowNanos < firstNanos) return firstNanos;
  const uint64_t fires = (nowNanos - firstNanos) / intervalNanos + 1;
  // A deadline past the end of the clock never comes (an interval of "forever" fires once).
  if (fires > (UINT64_MAX - firstNanos) / intervalNanos) return std::nullopt;
  return firstNanos + fires * intervalNanos;
}

void TimerSource::Impl::fire(uint64_t firedGeneration) {
  std::shared_ptr<const Handler> current;  // keeps the handler alive if cancel() races with it
  {
    base::MutexLock lock(queue->mutex);
    if (firedGeneration != generation) return;
    firePending = false;
    if (cancelled) return;
    current = handler;
  }
  if (current != nullptr && *current) (*current)();
}

TimerSource::TimerSource(SerialQueue& queue) : impl_(std::make_shared<Impl>(queue.impl_)) {}

TimerSource::~TimerSource() {
  cancel();
}

void TimerSource::schedule(uint64_t firstDeadlineNanos, uint64_t intervalNanos,
                           uint64_t /*leewayNanos: fires may come this late, never earlier*/) {
  base::MutexLock lock(impl_->queue->mutex);
  impl_->firstNanos = firstDeadlineNanos;
  impl_->intervalNanos = intervalNanos;
  impl_->scheduled = true;
  impl_->rearmLocked();
}

void TimerSource::setEventHandler(std::function<void()> handler) {
  auto replacement = std::make_shared<const Impl::Handler>(std::move(handler));
  base::MutexLock lock(impl_->queue->mutex);
  if (impl_->cancelled) return;
  std::swap(impl_->handler, replacement);  // the old handler is released after the lock
}

void TimerSource::resume() {
  base::MutexLock lock(impl_->queue->mutex);
  if (impl_->resumed || impl_->cancelled) return;
  impl_->resumed = true;
  impl_->rearmLocked();
}

void TimerSource::cancel() {
  std::shared_ptr<const Impl::Handler> released;  // its captures die after the lock is released
  base::MutexLock lock(impl_->queue->mutex);
  if (impl_->cancelled) return;
  impl_->cancelled = true;
  impl_->queue->withdrawTimerLocked(impl_.get());
  released = std::move(impl_->handler);
}

bool TimerSource::isCancelled() const {
  return impl_->cancelled;
}

}  // namespace platform::dispatch
