#include "platform/dispatch/semaphore.h"

#include <gtest/gtest.h>

#include <memory>
#include <thread>

#include "platform/dispatch/clock.h"

namespace platform::dispatch {
namespace {

TEST(Semaphore, WaitUntilTimesOutAtTheDeadlineWhenNotSignalled) {
  Semaphore semaphore;
  const uint64_t deadline = hostClock()->nowNanos() + 10'000'000;
  EXPECT_FALSE(semaphore.waitUntil(deadline));
  EXPECT_GE(hostClock()->nowNanos(), deadline);
  EXPECT_FALSE(semaphore.waitUntil(0));  // a past deadline does not block
}

TEST(Semaphore, CountsSignalsAndReleasesAWaiterOnAnotherThread) {
  Semaphore semaphore(1);
  semaphore.wait();  // the initial count
  semaphore.signal();
  semaphore.signal();
  EXPECT_TRUE(semaphore.waitUntil(0));
  EXPECT_TRUE(semaphore.waitUntil(0));
  EXPECT_FALSE(semaphore.waitUntil(0));

  std::thread signaller([&] { semaphore.signal(); });
  EXPECT_TRUE(semaphore.waitUntil(hostClock()->nowNanos() + 10'000'000'000));
  signaller.join();
}

TEST(Semaphore, WaitUntilOnAManualClockLastsUntilTheClockReachesTheDeadline) {
  auto clock = std::make_shared<ManualClock>();
  Semaphore semaphore(0, clock);
  const uint64_t deadline = clock->nowNanos() + 120'000'000'000;

  // Signalled a nanosecond before the deadline: the wait still takes the count.
  bool signalled = false;
  std::thread waiter([&] { signalled = semaphore.waitUntil(deadline); });
  clock->advance(deadline - 1 - clock->nowNanos());
  semaphore.signal();
  waiter.join();
  EXPECT_TRUE(signalled);

  std::thread lateWaiter([&] { signalled = semaphore.waitUntil(deadline); });
  clock->advance(1);
  lateWaiter.join();
  EXPECT_FALSE(signalled);
}

TEST(Semaphore, MayBeDestroyedAsSoonAsTheWaitReturns) {
  for (int round = 0; round < 200; ++round) {
    auto semaphore = std::make_unique<Semaphore>();
    std::thread signaller([raw = semaphore.get()] { raw->signal(); });
    semaphore->wait();
    semaphore.reset();
    signaller.join();
  }
}

}  // namespace
}  // namespace platform::dispatch
