#include "extension/frame_phase_lock.h"

#include <algorithm>
#include <array>

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
  // A burst or a faster producer has gaps under half an interval.
  std::array<int64_t, kWindow> phases{};
  for (std::size_t i = 0; i < kWindow; ++i) {
    if (i > 0) {
      const auto gap = static_cast<int64_t>(arrivals_[i] - arrivals_[i - 1]);
      if (gap < interval_ / 2 || gap > slowest) return std::nullopt;
    }
    phases[i] = wrapped(static_cast<int64_t>(arrivals_[i] - latest));
  }
  // The largest group of phases within kJitterNanos, the latest group on a tie. A rate that is
  // no whole fraction of the clock's spreads them; a frame held up on its way stands apart.
  std::sort(phases.begin(), phases.end());
  std::size_t group = 0;
  int64_t groupLast = 0;
  for (std::size_t first = 0, last = 0; last < kWindow; ++last) {
    while (phases[last] - phases[first] > kJitterNanos) ++first;
    if (last - first + 1 >= group) {
      group = last - first + 1;
      groupLast = phases[last];
    }
  }
  if (group + kOutliers < kWindow) return std::nullopt;
  return wrapped(static_cast<int64_t>(latest - plainNanos) + groupLast + kMarginNanos);
}

int64_t FramePhaseLock::wrapped(int64_t nanos) const {
  int64_t rest = nanos % interval_;
  if (rest < 0) rest += interval_;
  return rest > interval_ / 2 ? rest - interval_ : rest;
}

}  // namespace quillane
