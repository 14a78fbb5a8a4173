#include "platform/dispatch/timer_source.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>

#include "platform/dispatch/clock.h"
#include "platform/dispatch/semaphore.h"
#include "platform/dispatch/serial_queue.h"

namespace platform::dispatch {
namespace {

constexpr uint64_t kInterval = 33'333'333;  // one frame at 30 fps
constexpr uint64_t kLeeway = 2'000'000;

// A timer on a ManualClock that counts its fires; fires are read after a sync on the queue.
class ManualTimerTest : public ::testing::Test {
 protected:
  ManualTimerTest() : start(clock->nowNanos()) {
    timer.schedule(start, kInterval, kLeeway);
    timer.setEventHandler([this] { ++fires; });
  }

  int firesSeen() {
    int seen = 0;
    queue.sync([&] { seen = fires; });
    return seen;
  }

  std::shared_ptr<ManualClock> clock = std::make_shared<ManualClock>();
  SerialQueue queue{"timer", clock};
  const uint64_t start;
  int fires = 0;  // confined to the queue
  TimerSource timer{queue};
};

TEST_F(ManualTimerTest, StartsSuspendedThenFiresExactlyOncePerInterval) {
  clock->advance(kInterval);
  EXPECT_EQ(firesSeen(), 0);

  timer.resume();  // the first deadline has passed: one fire, not two
  EXPECT_EQ(firesSeen(), 1);
  for (int frame = 2; frame < 100; ++frame) {
    clock->advance(kInterval);
    ASSERT_EQ(firesSeen(), frame);
  }
}

TEST_F(ManualTimerTest, AJumpOfSeveralIntervalsCoalescesWithoutDrift) {
  timer.resume();
  clock->advance(5 * kInterval + kInterval / 2);
  EXPECT_EQ(firesSeen(), 2);
  clock->advance(kInterval - kInterval / 2 - 1);  // the next deadline stays on first + k × interval
  EXPECT_EQ(firesSeen(), 2);
  clock->advance(1);
  EXPECT_EQ(firesSeen(), 3);
}

TEST_F(ManualTimerTest, AHandlerRunningLateCoalescesMissedFires) {
  timer.setEventHandler([this] {
    if (++fires == 1) clock->advance(3 * kInterval);  // the handler takes three intervals
  });
  timer.resume();
  firesSeen();                // the first fire has run and queued the next one
  EXPECT_EQ(firesSeen(), 2);  // one fire for the three deadlines missed
  clock->advance(kInterval - 1);
  EXPECT_EQ(firesSeen(), 2);
  clock->advance(1);
  EXPECT_EQ(firesSeen(), 3);
}

TEST_F(ManualTimerTest, CancelOnTheQueueStopsAFireAlreadyPending) {
  timer.setEventHandler([this] {
    if (++fires == 3) timer.cancel();
  });
  timer.resume();
  clock->advance(2 * kInterval);
  clock->advance(kInterval);
  EXPECT_EQ(firesSeen(), 3);
  EXPECT_TRUE(timer.isCancelled());

  // A fire that became due behind the cancelling work never runs.
  TimerSource second(queue);
  second.schedule(clock->nowNanos() + kInterval, kInterval, kLeeway);
  second.setEventHandler([this] { fires += 100; });
  second.resume();
  queue.async([&] {
    clock->advance(kInterval);
    second.cancel();
  });
  clock->advance(10 * kInterval);
  EXPECT_EQ(firesSeen(), 3);
}

TEST_F(ManualTimerTest, CancelFromAnotherThreadStopsPendingFires) {
  timer.resume();
  EXPECT_EQ(firesSeen(), 1);
  Semaphore release;
  queue.async([&] { release.wait(); });
  clock->advance(kInterval);  // a fire is now pending behind the blocked work
  timer.cancel();
  release.signal();
  EXPECT_EQ(firesSeen(), 1);
}

TEST_F(ManualTimerTest, HandlerCanResubmitWorkToItsQueue) {
  std::vector<int> order;  // confined to the queue
  timer.setEventHandler([&] {
    order.push_back(1);
    queue.async([&] { order.push_back(2); });
    queue.asyncAfter(clock->nowNanos() + kInterval / 2, [&] { order.push_back(3); });
  });
  timer.resume();
  queue.sync([] {});
  clock->advance(kInterval / 2);
  queue.sync([] {});
  clock->advance(kInterval - kInterval / 2);
  queue.sync([] {});  // the handler's async() lands behind this first sync
  std::vector<int> seen;
  queue.sync([&] { seen = order; });
  EXPECT_EQ(seen, std::vector<int>({1, 2, 3, 1, 2}));
}

TEST_F(ManualTimerTest, RescheduleReplacesTheArmedFireAndOneShotsFireOnce) {
  timer.schedule(start + 10 * kInterval, kInterval, kLeeway);
  timer.resume();
  timer.schedule(start + kInterval, 0, kLeeway);  // interval 0: fires once
  clock->advance(kInterval);
  EXPECT_EQ(firesSeen(), 1);
  clock->advance(20 * kInterval);
  EXPECT_EQ(firesSeen(), 1);

  timer.schedule(clock->nowNanos() + 1, UINT64_MAX, kLeeway);  // the next deadline never comes
  clock->advance(1);
  EXPECT_EQ(firesSeen(), 2);
  clock->set(UINT64_MAX);
  EXPECT_EQ(firesSeen(), 2);
}

TEST_F(ManualTimerTest, DestroyingTheTimerCancelsItAndReleasesItsHandler) {
  auto capture = std::make_shared<int>(0);
  auto doomed = std::make_unique<TimerSource>(queue);
  doomed->schedule(start, kInterval, kLeeway);
  doomed->setEventHandler([this, capture] { ++fires; });
  Semaphore release;
  queue.async([&] { release.wait(); });  // keeps the first fire pending
  doomed->resume();
  doomed.reset();
  release.signal();
  clock->advance(kInterval);
  EXPECT_EQ(firesSeen(), 0);
  EXPECT_EQ(capture.use_count(), 1);

  // The handler may destroy its own timer; it finishes running on a copy kept alive for it.
  doomed = std::make_unique<TimerSource>(queue);
  doomed->schedule(clock->nowNanos(), kInterval, kLeeway);
  doomed->setEventHandler([this, &doomed, capture] {
    doomed.reset();
    fires += *capture + 1;
  });
  doomed->resume();
  clock->advance(kInterval);
  EXPECT_EQ(firesSeen(), 1);
  EXPECT_EQ(capture.use_count(), 1);
}

TEST(HostTimer, FiresRepeatedlyNeverBeforeItsDeadline) {
  SerialQueue queue("host timer");
  TimerSource timer(queue);
  constexpr uint64_t kShortInterval = 2'000'000;
  const uint64_t first = hostClock()->nowNanos();
  Semaphore fired;
  int fires = 0;       // confined to the queue
  bool early = false;  // confined to the queue
  timer.schedule(first, kShortInterval, 0);
  timer.setEventHandler([&] {
    early |= hostClock()->nowNanos() < first + fires * kShortInterval;
    ++fires;
    fired.signal();
  });
  timer.resume();
  for (int i = 0; i < 5; ++i)
    ASSERT_TRUE(fired.waitUntil(hostClock()->nowNanos() + 10'000'000'000));
  timer.cancel();
  queue.sync([&] { EXPECT_FALSE(early); });
}

TEST(HostTimer, ABusyQueueStillFiresButCoalescesMissedFiresIntoOne) {
  SerialQueue queue("busy");
  TimerSource timer(queue);
  constexpr uint64_t kShortInterval = 1'000'000;
  int firesBeforeMarker = 0;  // confined to the queue
  bool markerRan = false;     // confined to the queue
  Semaphore idle;             // never signalled: each item below lasts two intervals
  for (int i = 0; i < 10; ++i) {
    queue.async([&, last = i == 9] {
      idle.waitUntil(hostClock()->nowNanos() + 2 * kShortInterval);
      if (last) queue.async([&] { markerRan = true; });
    });
  }
  timer.schedule(hostClock()->nowNanos(), kShortInterval, 0);
  timer.setEventHandler([&] { firesBeforeMarker += markerRan ? 0 : 1; });
  timer.resume();
  queue.sync([] {});
  queue.sync([&] { EXPECT_TRUE(markerRan); });
  timer.cancel();
  queue.sync([&] { EXPECT_EQ(firesBeforeMarker, 1); });
}

TEST(HostTimer, NoHandlerStartsAfterCancelFromAnotherThreadReturns) {
  SerialQueue queue("racing");
  for (int round = 0; round < 20; ++round) {
    TimerSource timer(queue);
    std::atomic<bool> cancelReturned = false;
    std::atomic<bool> startedAfterCancel = false;
    Semaphore fired;
    timer.schedule(hostClock()->nowNanos(), 100'000, 0);
    timer.setEventHandler([&] {
      if (cancelReturned) startedAfterCancel = true;
      fired.signal();
    });
    timer.resume();
    ASSERT_TRUE(fired.waitUntil(hostClock()->nowNanos() + 10'000'000'000));
    timer.cancel();
    cancelReturned = true;
    queue.sync([] {});
    EXPECT_FALSE(startedAfterCancel);
  }
}

}  // namespace
}  // namespace platform::dispatch
