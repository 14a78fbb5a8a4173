#include "extension/frame_phase_lock.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
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
// the lock says; every arrival up to a deadline is stored before that tick runs. Every interval
// must stay within 33.3 ± 1 ms.
std::vector<uint64_t> runClock(const std::vector<uint64_t>& arrivals, uint64_t endNanos) {
  FramePhaseLock lock(kTick);
  lock.clockStarted(kStart);
  std::vector<uint64_t> ticks;
  auto arrival = arrivals.begin();
  for (uint64_t next = kStart; next < endNanos;) {
    for (; arrival != arrivals.end() && *arrival <= next; ++arrival) lock.frameArrived(*arrival);
    if (!ticks.empty() &&
        (next - ticks.back() < kTick - kMillis || next - ticks.back() > kTick + kMillis)) {
      ADD_FAILURE() << "interval " << next - ticks.back() << " at tick " << ticks.size();
    }
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

// From the first tick at or after `fromNanos` until `untilNanos`, every interval is exactly the
// clock's own.
void expectPlainTicking(const std::vector<uint64_t>& ticks, uint64_t fromNanos,
                        uint64_t untilNanos = UINT64_MAX) {
  auto tick = std::lower_bound(ticks.begin(), ticks.end(), fromNanos);
  for (; tick + 1 < ticks.end() && tick[1] < untilNanos; ++tick) {
    ASSERT_EQ(tick[1] - tick[0], kTick) << "after " << tick[0] - kStart;
  }
}

uint64_t tickAfter(const std::vector<uint64_t>& ticks, uint64_t nanos) {
  return *std::lower_bound(ticks.begin(), ticks.end(), nanos);
}

class SteadyProducerTest
    : public ::testing::TestWithParam<std::tuple<uint64_t /*periods*/, uint64_t /*phase*/>> {};

TEST_P(SteadyProducerTest, TicksSettleJustAfterItsFramesAtTheClocksOwnRate) {
  const auto [periods, phase] = GetParam();
  const uint64_t end = kStart + 20 * kSecond;
  const std::vector<uint64_t> arrivals = producer(kStart + phase, periods * kTick, end);
  const std::vector<uint64_t> ticks = runClock(arrivals, end);
  // Settled once a window of frames came and the phase moved up to half an interval, half a
  // millisecond a tick; from then on the rate is exactly the clock's own.
  const uint64_t settled = kStart + (FramePhaseLock::kWindow * periods + 34) * kTick;
  expectPlainTicking(ticks, settled);
  for (uint64_t arrival : arrivals) {
    if (arrival < settled) continue;
    ASSERT_EQ(tickAfter(ticks, arrival), arrival + kMargin) << "frame at " << arrival - kStart;
  }
}

// 30, 15 and 10 fps; the phase moves forward or back by half an interval.
INSTANTIATE_TEST_SUITE_P(RatesAndPhases, SteadyProducerTest,
                         ::testing::Combine(::testing::Values(1, 2, 3),
                                            ::testing::Values(15 * kMillis, 17 * kMillis)));

TEST(FramePhaseLockTest, FollowsDriftBetweenClocksButNotAProducerOfAnotherRate) {
  // 100 ppm slow or fast, as two crystals may drift apart: followed frame by frame.
  for (const uint64_t period : {kTick + kTick / 10'000, kTick - kTick / 10'000}) {
    const uint64_t end = kStart + 30 * kSecond;
    const std::vector<uint64_t> arrivals = producer(kStart + 7 * kMillis, period, end);
    const std::vector<uint64_t> ticks = runClock(arrivals, end);
    for (uint64_t arrival : arrivals) {
      if (arrival < kStart + 3 * kSecond) continue;
      ASSERT_NEAR(double(tickAfter(ticks, arrival) - arrival), double(kMargin), 0.1 * kMillis)
          << "period " << period << ", frame at " << arrival - kStart;
    }
  }
  // Its first frames 4 ms late while the link settles: followed once they come steadily.
  {
    const uint64_t end = kStart + 10 * kSecond;
    std::vector<uint64_t> arrivals = producer(kStart + 7 * kMillis, kTick, end);
    for (std::size_t k = 0; k < 10; ++k) arrivals[k] += 4 * kMillis;
    const std::vector<uint64_t> ticks = runClock(arrivals, end);
    for (uint64_t arrival : arrivals) {
      if (arrival < kStart + 3 * kSecond) continue;
      ASSERT_EQ(tickAfter(ticks, arrival), arrival + kMargin) << "frame at " << arrival - kStart;
    }
  }
  // 29.97 fps drifts 1000 ppm: the clock leaves it within seconds and keeps 30 ticks a second.
  const uint64_t end = kStart + 60 * kSecond;
  const std::vector<uint64_t> ticks =
      runClock(producer(kStart + 7 * kMillis, kSecond * 1001 / 30'000, end), end);
  expectPlainTicking(ticks, kStart + 5 * kSecond);
  EXPECT_NEAR(double(ticks.size()), 60.0 * 30, 1.0);
}

TEST(FramePhaseLockTest, SmallJitterAndAnOddLateFrameStillLockAndOtherFramesMakeTheirTicks) {
  const uint64_t end = kStart + 10 * kSecond;
  std::vector<uint64_t> arrivals = producer(kStart + 21 * kMillis, kTick, end);
  // Up to 1.5 ms late in no simple order, and every sixth frame held up for 6 ms.
  const auto heldUp = [](std::size_t k) { return k % 6 == 5; };
  for (std::size_t k = 0; k < arrivals.size(); ++k) {
    arrivals[k] += heldUp(k) ? 6 * kMillis : (k * 5 % 7) * kMillis / 4;
  }
  const std::vector<uint64_t> ticks = runClock(arrivals, end);
  for (std::size_t k = 0; k < arrivals.size(); ++k) {
    if (arrivals[k] < kStart + 2 * kSecond || heldUp(k)) continue;
    ASSERT_LE(tickAfter(ticks, arrivals[k]) - arrivals[k], kMargin + 3 * kMillis / 2) << k;
  }
}

TEST(FramePhaseLockTest, IrregularProducerLeavesThePhaseAlone) {
  const uint64_t end = kStart + 10 * kSecond;
  const uint64_t first = kStart + 12 * kMillis;
  // 0 to 10 ms late around 30 fps.
  std::vector<uint64_t> jittery = producer(first, kTick, end);
  for (std::size_t k = 0; k < jittery.size(); ++k) jittery[k] += (k * 7 % 11) * kMillis;
  // A stalled producer catching up: three frames at once, every four intervals.
  std::vector<uint64_t> bursts;
  for (uint64_t at : producer(first, 4 * kTick, end)) {
    bursts.insert(bursts.end(), {at, at + kMillis, at + 2 * kMillis});
  }
  // 25 fps is no whole fraction of the clock's rate; 60 fps is faster than the clock.
  for (const auto& arrivals :
       {jittery, bursts, producer(first, 40 * kMillis, end), producer(first, kTick / 2, end)}) {
    expectPlainTicking(runClock(arrivals, end), kStart);
  }
}

TEST(FramePhaseLockTest, StoppedProducerLeavesThePhaseWhereItIsAndAResumedOneMovesItAgain) {
  // It stops while the clock is still on its way to the producer's phase.
  const uint64_t resume = kStart + 5 * kSecond;
  const uint64_t end = kStart + 10 * kSecond;
  std::vector<uint64_t> arrivals = producer(kStart + 15 * kMillis, kTick, kStart + 600 * kMillis);
  const uint64_t last = arrivals.back();
  const std::vector<uint64_t> resumed = producer(resume + 9 * kMillis, 2 * kTick, end);
  arrivals.insert(arrivals.end(), resumed.begin(), resumed.end());
  const std::vector<uint64_t> ticks = runClock(arrivals, end);
  EXPECT_NE(tickAfter(ticks, last), last + kMargin);
  // Silent for longer than the slowest producer followed: plain ticking until it resumes.
  expectPlainTicking(ticks, last + 4 * kTick, resume);
  EXPECT_EQ(tickAfter(ticks, resumed.back()), resumed.back() + kMargin);
}

}  // namespace
}  // namespace quillane
