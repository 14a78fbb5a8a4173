#include "extension/frame_phase_lock.h"

#include <algorithm>

namespace quillane {

FramePhaseLock::FramePhaseLock(uint64_t intervalNanos)
    : interval_(static_cast<int64_t>(intervalNanos)) {}

void FramePhaseLock::clockStarted(uint64_t firstDeadlineNanos) {
  nextDeadline_ = firstDeadlineNanos;
}

void FramePhaseLock::frameArrived(uint64_t arrivalNanos) {
  if (arrivals_.size() == kWindow) arrivals_.pop_front();
  arrivals_.push_back(arrivalNanos);
}

std::optional<uint64_t> FramePhaseLock::tickFired(uint64_t nowNanos) {
  // A fire that came late, or stood for several missed deadlines, belongs to the latest deadline
  // passed: the grid is kept, not restarted from the fire.
  const auto interval = static_cast<uint64_t>(interval_);
  const uint64_t late = nowNanos > nextDeadline_ ? nowNanos - nextDeadline_ : 0;
  const uint64_t due = nextDeadline_ + late / interval * interval;
  const uint64_t plain = due + interval;
  const std::optional<int64_t> error = phaseError(due, plain);
  const int64_t nudge = error ? std::clamp(*error, -kMaxNudgeNanos, kMaxNudgeNanos) : 0;
  nextDeadline_ = plain + static_cast<uint64_t>(nudge);  // wraps back for a negative nudge
  if (nudge == 0) return std::nullopt;
  return nextDeadline_;
}

std::optional<int64_t> FramePhaseLock::phaseError(uint64_t dueNanos, uint64_t plainNanos) const {
  if (arrivals_.size() < kWindow) return std::nullopt;
  const uint64_t latest = arrivals_.back();
  const int64_t slowest = kMaxPeriods * interval_ + interval_ / 2;
  // A producer silent for longer than the slowest period followed has stopped.
  if (static_cast<int64_t>(dueNanos - latest) > slowest) return std::nullopt;
  // Phases relative to the latest arrival's; a burst or a faster producer has gaps under half an
  // interval, and a rate that is no whole fraction of the clock's spreads the phases.
  int64_t earliest = 0, last = 0;
  for (std::size_t i = 0; i < arrivals_.size(); ++i) {
    if (i > 0) {
      const auto gap = static_cast<int64_t>(arrivals_[i] - arrivals_[i - 1]);
      if (gap < interval_ / 2 || gap > slowest) return std::nullopt;
    }
    const int64_t phase = wrapped(static_cast<int64_t>(arrivals_[i] - latest));
    earliest = std::min(earliest, phase);
    last = std::max(last, phase);
  }
  if (last - earliest > kJitterNanos) return std::nullopt;
  const uint64_t target = latest + static_cast<uint64_t>(last + kMarginNanos);
  return wrapped(static_cast<int64_t>(target - plainNanos));
}

int64_t FramePhaseLock::wrapped(int64_t nanos) const {
  int64_t rest = nanos % interval_;
  if (rest < 0) rest += interval_;
  return rest > interval_ / 2 ? rest - interval_ : rest;
}

}  // namespace quillane
