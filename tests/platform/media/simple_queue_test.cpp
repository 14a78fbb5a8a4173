#include "platform/media/simple_queue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

namespace platform::media {
namespace {

SampleBufferRef makeSample(int64_t presentationValue) {
  auto buffer = PixelBuffer::create(1, 1, kPixelFormat32BGRA);
  return SampleBuffer::createForImageBuffer(
      buffer, true, FormatDescription::createForImageBuffer(*buffer),
      {MediaTime::make(1, 30), MediaTime::make(presentationValue, 30), MediaTime::invalid()});
}

// Each test starts with an empty queue of two and two distinct samples.
class SimpleQueueTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_NE(queue, nullptr); }

  SimpleQueueRef queue = SimpleQueue::create(2);
  SampleBufferRef first = makeSample(1);
  SampleBufferRef second = makeSample(2);
};

TEST_F(SimpleQueueTest, RefusesCapacityBelowOne) {
  EXPECT_EQ(SimpleQueue::create(0), nullptr);
  EXPECT_EQ(SimpleQueue::create(-3), nullptr);
}

TEST_F(SimpleQueueTest, FullQueueRefusesAndKeepsItsContentsInOrder) {
  SampleBufferRef third = makeSample(3);
  EXPECT_EQ(queue->enqueue(first), kStatusOK);
  EXPECT_EQ(queue->enqueue(second), kStatusOK);
  EXPECT_EQ(queue->enqueue(third), kSimpleQueueFull);
  EXPECT_EQ(third.use_count(), 1) << "a refused element is not kept";
  EXPECT_EQ(queue->count(), 2);
  EXPECT_EQ(queue->dequeue(), first);
  EXPECT_EQ(queue->dequeue(), second);
  EXPECT_EQ(queue->dequeue(), nullptr);
  EXPECT_EQ(queue->enqueue(nullptr), kStatusInvalidParameter);
  EXPECT_EQ(queue->count(), 0);
}

TEST_F(SimpleQueueTest, DequeueOldestIfFullMakesRoomOnlyWhenFull) {
  EXPECT_EQ(queue->dequeueOldestIfFull(), nullptr);
  queue->enqueue(first);
  EXPECT_EQ(queue->dequeueOldestIfFull(), nullptr);
  queue->enqueue(second);
  EXPECT_EQ(queue->dequeueOldestIfFull(), first);
  EXPECT_EQ(queue->count(), 1);
  EXPECT_EQ(queue->dequeue(), second);
}

TEST_F(SimpleQueueTest, ListenerRunsAfterEachEnqueueOutsideTheLock) {
  std::vector<SampleBufferRef> taken;
  // Dequeuing from the listener would deadlock if it ran under the queue's lock.
  queue->setEnqueueListener([&] { taken.push_back(queue->dequeue()); });
  EXPECT_EQ(queue->enqueue(first), kStatusOK);
  EXPECT_EQ(queue->enqueue(second), kStatusOK);
  EXPECT_EQ(queue->enqueue(first), kStatusOK) << "the listener made room";
  EXPECT_EQ(taken, (std::vector<SampleBufferRef>{first, second, first}));
  queue->setEnqueueListener(nullptr);
  queue->enqueue(first);
  queue->enqueue(second);
  EXPECT_EQ(queue->enqueue(first), kSimpleQueueFull);
  EXPECT_EQ(taken.size(), 3u) << "no listener ran on a refused enqueue";
}

TEST_F(SimpleQueueTest, ConcurrentProducersAndConsumerLoseNothing) {
  constexpr int kPerProducer = 2000;
  std::atomic<int> enqueued{0};
  auto produce = [&] {
    for (int i = 0; i < kPerProducer; ++i) {
      if (queue->enqueue(first) == kStatusOK) enqueued.fetch_add(1);
    }
  };
  std::thread producerA(produce);
  std::thread producerB(produce);
  int dequeued = 0;
  std::atomic<bool> producing{true};
  std::thread watcher([&] {
    producerA.join();
    producerB.join();
    producing = false;
  });
  while (producing || queue->count() > 0) {
    if (queue->dequeue()) ++dequeued;
  }
  watcher.join();
  EXPECT_EQ(dequeued, enqueued.load());
  EXPECT_GT(dequeued, 0);
}

}  // namespace
}  // namespace platform::media
