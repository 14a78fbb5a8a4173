#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>

namespace quillane {

// Steers the frame clock's phase to just after a steady producer's frames arrive, so a frame
// waits a small margin for its tick instead of anything up to a whole interval. Fed the sink's
// arrival stamps; told of every tick, it says where the timer's next deadline moves, a little
// each tick: every interval stays within kMaxNudgeNanos of the clock's own, and once the ticks sit
// just after a producer of the clock's rate (or a whole fraction of it) the grid is plain again.
// A producer counts as steady while its last kWindow arrivals come one to kMaxPeriods intervals
// apart (30, 15 or 10 fps), all but kOutliers at the same phase of the clock within kJitterNanos,
// and its phase has moved no further since its window became steady than clocks drifting
// kMaxDriftPpm apart would move it; so the lock follows drift between two crystals but not a
// producer of another rate (29.97 fps), and the clock keeps its own rate on average. With none,
// or an irregular one, the clock keeps its plain grid. Frame queue only.
class FramePhaseLock {
 public:
  // How long after the latest expected arrival the tick comes, for jitter beyond what was seen.
  static constexpr int64_t kMarginNanos = 1'000'000;
  // The most a tick interval is lengthened or shortened.
  static constexpr int64_t kMaxNudgeNanos = 500'000;
  // How far apart the phases of a steady producer's arrivals may lie.
  static constexpr int64_t kJitterNanos = 2'000'000;
  // The slowest producer followed, in tick intervals.
  static constexpr int64_t kMaxPeriods = 3;
  static constexpr std::size_t kWindow = 8;
  // Frames of a window that may come late, held up on their way, without breaking the lock.
  static constexpr std::size_t kOutliers = 1;
  // How fast, in parts per million, a producer's clock may run from ours and still be followed.
  static constexpr int64_t kMaxDriftPpm = 250;

  explicit FramePhaseLock(uint64_t intervalNanos);

  // The timer was (re)started with its first deadline at `firstDeadlineNanos`.
  void clockStarted(uint64_t firstDeadlineNanos);
  // The sink stored a frame stamped with this arrival time.
  void frameArrived(uint64_t arrivalNanos);
  // A tick ran at `nowNanos`: the deadline the timer's next tick moves to, or none when it stays
  // on the timer's plain grid.
  std::optional<uint64_t> tickFired(uint64_t nowNanos);

 private:
  // How far the next tick, due on the plain grid at `plainNanos`, should move to come kMarginNanos
  // after the producer's arrivals, within half an interval; none while the producer is not steady
  // at the tick due at `dueNanos`.
  std::optional<int64_t> phaseError(uint64_t dueNanos, uint64_t plainNanos) const;
  // The longest gap between a followed producer's frames: kMaxPeriods intervals and half another.
  int64_t slowestGap() const { return kMaxPeriods * interval_ + interval_ / 2; }
  // With a full window: the latest phase of its arrivals relative to the latest one, when all but
  // kOutliers lie within kJitterNanos of each other; none when they are scattered.
  std::optional<int64_t> steadyPhase() const;
  // Whether the producer's phase has kept within drift between clocks since its window was last
  // steady.
  bool driftWithinBound() const;
  // `nanos` modulo the interval, as the nearest signed distance.
  int64_t wrapped(int64_t nanos) const;
  // The median phase of the window's arrivals.
  int64_t medianPhase() const;

  struct Arrival {
    uint64_t nanos;
    // Where in the clock's interval the frame came, unwrapped: how far it lies from the run's
    // first frame's phase, summed gap by gap so that a slow drift keeps growing past a whole
    // interval.
    int64_t phase;
  };
  // The window's median phase when it became steady, and when; none while it is not.
  struct Reference {
    uint64_t nanos;
    int64_t phase;
  };

  const int64_t interval_;
  uint64_t nextDeadline_ = 0;     // of the timer's grid
  std::deque<Arrival> arrivals_;  // the last kWindow, oldest first
  std::size_t run_ = 0;           // arrivals since a gap outside the followed periods
  std::optional<Reference> reference_;
};

}  // namespace quillane
