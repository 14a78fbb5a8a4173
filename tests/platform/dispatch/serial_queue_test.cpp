#include "platform/dispatch/serial_queue.h"

#include <gtest/gtest.h>

#include <future>
#include <memory>
#include <thread>
#include <vector>

#include "platform/dispatch/clock.h"
#include "platform/dispatch/semaphore.h"

namespace platform::dispatch {
namespace {

constexpr uint64_t kTenSeconds = 10'000'000'000;

TEST(SerialQueue, RunsAsyncWorkInSubmissionOrderAndSyncAfterIt) {
  SerialQueue queue("fifo");
  std::vector<int> order;  // confined to the queue
  for (int i = 0; i < 1000; ++i) queue.async([&order, i] { order.push_back(i); });
  std::vector<int> seen;
  queue.sync([&] { seen = order; });
  ASSERT_EQ(seen.size(), 1000u);
  for (int i = 0; i < 1000; ++i) EXPECT_EQ(seen[i], i);
}

TEST(SerialQueue, SyncFromSeveralThreadsRunsEachWorkOnceOnTheQueue) {
  SerialQueue queue("sync");
  int total = 0;  // confined to the queue
  std::vector<std::thread> callers;
  for (int t = 0; t < 4; ++t) {
    callers.emplace_back([&] {
      for (int i = 0; i < 200; ++i) {
        queue.sync([&] {
          EXPECT_TRUE(queue.isCurrent());
          ++total;
        });
      }
    });
  }
  for (auto& caller : callers) caller.join();
  int seen = 0;
  queue.sync([&] { seen = total; });
  EXPECT_EQ(seen, 800);
  EXPECT_FALSE(queue.isCurrent());
}

TEST(SerialQueue, IsCurrentOnlyOnItsOwnWorker) {
  SerialQueue first("first");
  SerialQueue second("second");
  bool firstSeesFirst = false;
  bool secondSeesFirst = true;
  first.sync([&] { firstSeesFirst = first.isCurrent(); });
  second.sync([&] { secondSeesFirst = first.isCurrent(); });
  EXPECT_TRUE(firstSeesFirst);
  EXPECT_FALSE(secondSeesFirst);
}

TEST(SerialQueue, AsyncAfterOnManualClockRunsOnlyWhenDueInDeadlineOrder) {
  auto clock = std::make_shared<ManualClock>();
  SerialQueue queue("delayed", clock);
  const uint64_t start = clock->nowNanos();
  std::vector<int> order;  // confined to the queue
  queue.asyncAfter(start + 300, [&] { order.push_back(300); });
  queue.asyncAfter(start + 100, [&] { order.push_back(100); });
  queue.asyncAfter(start + 200, [&] { order.push_back(200); });
  queue.asyncAfter(start + 200, [&] { order.push_back(201); });
  queue.asyncAfter(start, [&] { order.push_back(0); });  // already due: runs at once
  auto snapshot = [&] {
    std::vector<int> seen;
    queue.sync([&] { seen = order; });
    return seen;
  };
  EXPECT_EQ(snapshot(), std::vector<int>({0}));
  clock->advance(99);
  EXPECT_EQ(snapshot(), std::vector<int>({0}));
  clock->advance(1);
  EXPECT_EQ(snapshot(), std::vector<int>({0, 100}));
  clock->set(start + 50);  // backwards: ignored
  clock->advance(200);
  EXPECT_EQ(snapshot(), std::vector<int>({0, 100, 200, 201, 300}));
}

TEST(SerialQueue, AsyncAfterOnHostClockRunsNotBeforeItsDeadline) {
  SerialQueue queue("host");
  Semaphore ran;
  const uint64_t deadline = hostClock()->nowNanos() + 20'000'000;
  uint64_t ranAt = 0;
  queue.asyncAfter(deadline, [&] {
    ranAt = hostClock()->nowNanos();
    ran.signal();
  });
  ASSERT_TRUE(ran.waitUntil(hostClock()->nowNanos() + kTenSeconds));
  EXPECT_GE(ranAt, deadline);
}

TEST(SerialQueue, DestructionRunsSubmittedWorkAndDropsDelayedWorkNotYetDue) {
  auto clock = std::make_shared<ManualClock>();
  int ran = 0;
  bool delayedRan = false;
  auto delayedCapture = std::make_shared<int>(0);
  {
    Semaphore release;  // outlives the queue, whose first work item may still be waiting on it
    SerialQueue queue("teardown", clock);
    queue.async([&] { release.wait(); });  // holds the queue until everything is submitted
    for (int i = 0; i < 100; ++i) queue.async([&] { ++ran; });
    queue.asyncAfter(clock->nowNanos() + 1, [&, delayedCapture] { delayedRan = true; });
    release.signal();
  }
  EXPECT_EQ(ran, 100);
  EXPECT_FALSE(delayedRan);
  EXPECT_EQ(delayedCapture.use_count(), 1);  // dropped work is destroyed, not leaked
  clock->advance(10);                        // the destroyed queue is no longer told
}

// An owner released by its own queue's work destroys the queue on that queue: what was submitted
// still runs, at once, and nothing aborts.
TEST(SerialQueue, QueueReleasedByItsOwnWorkStillRunsWhatWasSubmitted) {
  auto queue = std::make_shared<SerialQueue>("self-released");
  std::promise<void> release;
  std::promise<void> laterRan;
  queue->async([held = queue, go = release.get_future().share()]() mutable {
    go.wait();
    held.reset();  // the last reference: the queue goes here, on its own worker
  });
  queue->async([&] { laterRan.set_value(); });
  queue.reset();
  release.set_value();
  EXPECT_EQ(laterRan.get_future().wait_for(std::chrono::seconds(5)), std::future_status::ready);
}

TEST(SerialQueue, SeveralQueuesOnOneManualClockAllSeeDueWorkBeforeAdvanceReturns) {
  auto clock = std::make_shared<ManualClock>();
  std::vector<std::unique_ptr<SerialQueue>> queues;
  std::vector<int> ran(3, 0);  // ran[i] confined to queues[i]
  for (int i = 0; i < 3; ++i) {
    queues.push_back(std::make_unique<SerialQueue>("queue", clock));
    queues[i]->asyncAfter(clock->nowNanos() + 10 * (i + 1), [&ran, i] { ++ran[i]; });
  }
  queues.erase(queues.begin() + 1);
  clock->advance(30);
  int first = 0;
  int third = 0;
  queues[0]->sync([&] { first = ran[0]; });
  queues[1]->sync([&] { third = ran[2]; });
  EXPECT_EQ(first, 1);
  EXPECT_EQ(third, 1);
}

TEST(SerialQueue, WorkMayMoveTheClockOfItsOwnQueue) {
  auto clock = std::make_shared<ManualClock>();
  SerialQueue queue("mover", clock);
  bool delayedRan = false;
  queue.asyncAfter(clock->nowNanos() + 5, [&] { delayedRan = true; });
  queue.sync([&] { clock->advance(5); });
  bool seen = false;
  queue.sync([&] { seen = delayedRan; });
  EXPECT_TRUE(seen);
}

using SerialQueueDeathTest = ::testing::Test;

TEST_F(SerialQueueDeathTest, SyncFromItsOwnWorkAborts) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(
      {
        SerialQueue queue("self");
        queue.sync([&] { queue.sync([] {}); });
      },
      "would deadlock");
}

TEST_F(SerialQueueDeathTest, QueueBoundCodeOffItsQueueAbortsNamingIt) {
#ifdef NDEBUG
  GTEST_SKIP() << "confinement is checked only in builds with assertions";
#endif
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  SerialQueue frames("frames");
  SerialQueue other("other");
  frames.sync([&] { assertOnQueue(frames); });
  EXPECT_DEATH(assertOnQueue(frames), "\"frames\": queue-bound code called from another thread");
  EXPECT_DEATH(other.sync([&] { assertOnQueue(frames); }), "\"frames\"");
}

TEST_F(SerialQueueDeathTest, ExceptionEscapingWorkTerminates) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(
      {
        SerialQueue queue("throws");
        queue.sync([] { throw std::runtime_error("escaped"); });
      },
      "");
}

}  // namespace
}  // namespace platform::dispatch
