#include "extension/frame_phase_lock.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <tuple>
#include <vector>

namespace quillane {
namespace {

constexpr uint64_t kTick = 33'333'333;
constexpr uint64_t kMillis = 1'000'000;
constexpr uint64_t kSecond = 1'000'000'000;
constexpr uint64_t kStart = kSecond;
constexpr auto kMargin = static_cast<uint64_t>(FramePhaseLock::kMarginNanos);

// The timer as the frame queue drives it: ticks on a grid of kTick from kStart, moved wherever
// the lock says; every arrival up to a deadline is stored before that tick runs.
std::vector<uint64_t> runClock(const std::vector<uint64_t>& arrivals, uint64_t endNanos) {
  FramePhaseLock lock(kTick);
  lock.clockStarted(kStart);
  std::vector<uint64_t> ticks;
  auto arrival = arrivals.begin();
  for (uint64_t next = kStart; next < endNanos;) {
    for (; arrival != arrivals.end() && *arrival <= next; ++arrival) lock.frameArrived(*arrival);
    ticks.push_back(next);
    next = lock.tickFired(next).value_or(next + kTick);
  }
  return ticks;
}

// A producer's frames, one every `periodNanos` from `firstNanos` until `endNanos`.
std::vector<uint64_t> producer(uint64_t firstNanos, uint64_t periodNanos, uint64_t endNanos) {
  std::vector<uint64_t> arrivals;
  for (uint64_t at = firstNanos; at < endNanos; at += periodNanos) arrivals.push_back(at);
  return arrivals;
}

// Every interval is within 33.3 ± 1 ms.
void expectIntervalsInBounds(const std::vector<uint64_t>& ticks) {
  for (std::size_t i = 1; i < ticks.size(); ++i) {
    ASSERT_GE(ticks[i] - ticks[i - 1], kTick - kMillis) << "tick " << i;
    ASSERT_LE(ticks[i] - ticks[i - 1], kTick + kMillis) << "tick " << i;
  }
}

// From tick `from` on, while before `untilNanos`, every interval is exactly the clock's own.
void expectPlainTicking(const std::vector<uint64_t>& ticks, std::size_t from,
                        uint64_t untilNanos = UINT64_MAX) {
  for (std::size_t i = from + 1; i < ticks.size() && ticks[i] < untilNanos; ++i) {
    ASSERT_EQ(ticks[i] - ticks[i - 1], kTick) << "tick " << i;
  }
}

std::size_t firstTickAtOrAfter(const std::vector<uint64_t>& ticks, uint64_t nanos) {
  return static_cast<std::size_t>(std::lower_bound(ticks.begin(), ticks.end(), nanos) -
                                  ticks.begin());
}

class SteadyProducerTest
    : public ::testing::TestWithParam<std::tuple<uint64_t /*periods*/, uint64_t /*phase*/>> {};

TEST_P(SteadyProducerTest, TicksSettleJustAfterItsFramesAtTheClocksOwnRate) {
  const auto [periods, phase] = GetParam();
  const uint64_t end = kStart + 20 * kSecond;
  const std::vector<uint64_t> arrivals = producer(kStart + phase, periods * kTick, end);
  const std::vector<uint64_t> ticks = runClock(arrivals, end);
  expectIntervalsInBounds(ticks);
  // Settled once a window of frames came and the phase moved up to half an interval, half a
  // millisecond a tick; from then on the rate is exactly the clock's own.
  const std::size_t settled = FramePhaseLock::kWindow * periods + 34;
  expectPlainTicking(ticks, settled);
  for (uint64_t arrival : arrivals) {
    if (arrival < ticks[settled]) continue;
    ASSERT_EQ(ticks[firstTickAtOrAfter(ticks, arrival)], arrival + kMargin)
        << "frame at " << arrival - kStart;
  }
}

// 30, 15 and 10 fps; the phase moves forward or back, by up to half an interval.
INSTANTIATE_TEST_SUITE_P(RatesAndPhases, SteadyProducerTest,
                         ::testing::Combine(::testing::Values(1, 2, 3),
                                            ::testing::Values(3 * kMillis, 15 * kMillis,
                                                              17 * kMillis, 31 * kMillis)));

TEST(FramePhaseLockTest, SmallJitterAndAnOddLateFrameStillLockAndOtherFramesMakeTheirTicks) {
  const uint64_t end = kStart + 10 * kSecond;
  std::vector<uint64_t> arrivals = producer(kStart + 21 * kMillis, kTick, end);
  // Up to 1.5 ms late in no simple order, and every sixth frame held up for 6 ms.
  const auto heldUp = [](std::size_t k) { return k % 6 == 5; };
  for (std::size_t k = 0; k < arrivals.size(); ++k) {
    arrivals[k] += heldUp(k) ? 6 * kMillis : (k * 5 % 7) * kMillis / 4;
  }
  const std::vector<uint64_t> ticks = runClock(arrivals, end);
  expectIntervalsInBounds(ticks);
  for (std::size_t k = 0; k < arrivals.size(); ++k) {
    if (arrivals[k] < kStart + 2 * kSecond || heldUp(k)) continue;
    const uint64_t wait = ticks[firstTickAtOrAfter(ticks, arrivals[k])] - arrivals[k];
    ASSERT_LE(wait, kMargin + 3 * kMillis / 2) << "frame " << k;
  }
}

TEST(FramePhaseLockTest, IrregularProducerLeavesThePhaseAlone) {
  const uint64_t end = kStart + 10 * kSecond;
  const uint64_t first = kStart + 12 * kMillis;
  std::vector<uint64_t> jittery = producer(first, kTick, end);
  for (std::size_t k = 0; k < jittery.size(); ++k) jittery[k] += (k * 7 % 11) * kMillis;
  // A stalled producer catching up: three frames at once, every four intervals.
  std::vector<uint64_t> bursts;
  for (uint64_t at : producer(first, 4 * kTick, end)) {
    bursts.insert(bursts.end(), {at, at + kMillis, at + 2 * kMillis});
  }
  const std::vector<std::vector<uint64_t>> producers = {
      jittery,                                  // 0 to 10 ms late around 30 fps
      producer(first, 40 * kMillis, end),       // 25 fps: no whole fraction of the clock's rate
      bursts, producer(first, kTick / 2, end),  // faster than the clock
  };
  for (std::size_t i = 0; i < producers.size(); ++i) {
    SCOPED_TRACE(i);
    expectPlainTicking(runClock(producers[i], end), 0);
  }
}

TEST(FramePhaseLockTest, StoppedProducerLeavesThePhaseWhereItIsAndAResumedOneMovesItAgain) {
  // It stops while the clock is still on its way to the producer's phase.
  const uint64_t stop = kStart + 600 * kMillis;
  const uint64_t resume = kStart + 5 * kSecond;
  const uint64_t end = kStart + 10 * kSecond;
  std::vector<uint64_t> arrivals = producer(kStart + 15 * kMillis, kTick, stop);
  const std::vector<uint64_t> resumed = producer(resume + 9 * kMillis, 2 * kTick, end);
  const uint64_t last = arrivals.back();
  arrivals.insert(arrivals.end(), resumed.begin(), resumed.end());
  const std::vector<uint64_t> ticks = runClock(arrivals, end);
  expectIntervalsInBounds(ticks);
  EXPECT_NE(ticks[firstTickAtOrAfter(ticks, last)] - last, kMargin);
  // Silent for longer than the slowest producer followed: plain ticking until it resumes.
  expectPlainTicking(ticks, firstTickAtOrAfter(ticks, last + 4 * kTick), resume);
  EXPECT_EQ(ticks[firstTickAtOrAfter(ticks, resumed.back())], resumed.back() + kMargin);
}

TEST(FramePhaseLockTest, LateFireKeepsTheTimersGrid) {
  FramePhaseLock lock(kTick);
  lock.clockStarted(kStart);
  // No producer: a fire that came 2.5 intervals late stands for the deadline it missed.
  EXPECT_EQ(lock.tickFired(kStart + 5 * kTick / 2), std::nullopt);
  // A steady producer 10 ms after the grid: the next deadline moves from the grid, not the fire.
  for (uint64_t arrival : producer(kStart + 3 * kTick + 10 * kMillis, kTick, kStart + 11 * kTick)) {
    lock.frameArrived(arrival);
  }
  const uint64_t due = kStart + 11 * kTick;
  EXPECT_EQ(lock.tickFired(due + 4 * kMillis),
            due + kTick + static_cast<uint64_t>(FramePhaseLock::kMaxNudgeNanos));
}

}  // namespace
}  // namespace quillane
