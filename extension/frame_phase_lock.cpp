#include "extension/frame_phase_lock.h"

#include <algorithm>
#include <array>
#include <cstdlib>

namespace quillane {

FramePhaseLock::FramePhaseLock(uint64_t intervalNanos)
    : interval_(static_cast<int64_t>(intervalNanos)) {}

void FramePhaseLock::clockStarted(uint64_t firstDeadlineNanos) {
  nextDeadline_ = firstDeadlineNanos;
}

void FramePhaseLock::frameArrived(uint64_t arrivalNanos) {
  int64_t phase = 0;
  if (!arrivals_.empty()) {
    const auto gap = static_cast<int64_t>(arrivalNanos - arrivals_.back().nanos);
    if (gap < interval_ / 2 || gap > slowestGap()) {
      run_ = 0;
      reference_.reset();
    } else {
      phase = arrivals_.back().phase + wrapped(gap);
    }
  }
  if (arrivals_.size() == kWindow) arrivals_.pop_front();
  arrivals_.push_back({arrivalNanos, phase});
  if (++run_ < kWindow) return;
  // The reference comes from a steady window, never from frames still settling at the start or
  // scattered by a busy moment, which would hold the drift outside its bound for good.
  if (!steadyPhase()) {
    reference_.reset();
  } else if (!reference_) {
    reference_ = Reference{arrivalNanos, medianPhase()};
  }
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
  // A burst or a faster producer has gaps under half an interval, and its run starts afresh.
  if (run_ < kWindow) return std::nullopt;
  const uint64_t latest = arrivals_.back().nanos;
  // A producer silent for longer than the slowest period followed has stopped.
  if (static_cast<int64_t>(dueNanos - latest) > slowestGap()) return std::nullopt;
  if (!reference_ || !driftWithinBound()) return std::nullopt;
  const std::optional<int64_t> phase = steadyPhase();
  if (!phase) return std::nullopt;
  return wrapped(static_cast<int64_t>(latest - plainNanos) + *phase + kMarginNanos);
}

std::optional<int64_t> FramePhaseLock::steadyPhase() const {
  const uint64_t latest = arrivals_.back().nanos;
  std::array<int64_t, kWindow> phases{};
  for (std::size_t i = 0; i < kWindow; ++i) {
    phases[i] = wrapped(static_cast<int64_t>(arrivals_[i].nanos - latest));
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
  return groupLast;
}

bool FramePhaseLock::driftWithinBound() const {
  const auto elapsed = static_cast<int64_t>(arrivals_.back().nanos - reference_->nanos);
  const int64_t drift = medianPhase() - reference_->phase;
  return std::abs(drift) <= kJitterNanos + elapsed / 1'000'000 * kMaxDriftPpm;
}

int64_t FramePhaseLock::medianPhase() const {
  // The median, so that a frame held up on its way moves neither the reference nor the drift.
  std::array<int64_t, kWindow> phases{};
  std::size_t count = 0;
  for (const Arrival& arrival : arrivals_) phases[count++] = arrival.phase;
  std::nth_element(phases.begin(), phases.begin() + count / 2, phases.begin() + count);
  return phases[count / 2];
}

int64_t FramePhaseLock::wrapped(int64_t nanos) const {
  int64_t rest = nanos % interval_;
  if (rest < 0) rest += interval_;
  return rest > interval_ / 2 ? rest - interval_ : rest;
}

}  // namespace quillane
