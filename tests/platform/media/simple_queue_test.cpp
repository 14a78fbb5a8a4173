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

TEST(SimpleQueueTest, RefusesCapacityBelowOne) {
  EXPECT_EQ(SimpleQueue::create(0), nullptr);
  EXPECT_EQ(SimpleQueue::create(-3), nullptr);
}

TEST(SimpleQueueTest, FullQueueRefusesAndKeepsItsContentsInOrder) {
  auto queue = SimpleQueue::create(2);
  ASSERT_NE(queue, nullptr);
  SampleBufferRef first = makeSample(1);
  SampleBufferRef second = makeSample(2);
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

TEST(SimpleQueueTest, DequeueOldestIfFullMakesRoomOnlyWhenFull) {
  auto queue = SimpleQueue::create(2);
  SampleBufferRef first = makeSample(1);
  SampleBufferRef second = makeSample(2);
  EXPECT_EQ(queue->dequeueOldestIfFull(), nullptr);
  queue->enqueue(first);
  EXPECT_EQ(queue->dequeueOldestIfFull(), nullptr);
  queue->enqueue(second);
  EXPECT_EQ(queue->dequeueOldestIfFull(), first);
  EXPECT_EQ(queue->count(), 1);
  EXPECT_EQ(queue->dequeue(), second);
}

TEST(SimpleQueueTest, ListenerRunsAfterEachEnqueueOutsideTheLock) {
  auto queue = SimpleQueue::create(1);
  std::vector<SampleBufferRef> taken;
  // Dequeuing from the listener would deadlock if it ran under the queue's lock.
  queue->setEnqueueListener([&] { taken.push_back(queue->dequeue()); });
  SampleBufferRef first = makeSample(1);
  SampleBufferRef second = makeSample(2);
  EXPECT_EQ(queue->enqueue(first), kStatusOK);
  EXPECT_EQ(queue->enqueue(second), kStatusOK);
  EXPECT_EQ(taken, (std::vector<SampleBufferRef>{first, second}));
  queue->setEnqueueListener(nullptr);
  queue->enqueue(first);
  EXPECT_EQ(queue->enqueue(second), kSimpleQueueFull) << "no listener ran on a refused enqueue";
  EXPECT_EQ(taken.size(), 2u);
}

TEST(SimpleQueueTest, ConcurrentProducersAndConsumerLoseNothing) {
  constexpr int kPerProducer = 2000;
  auto queue = SimpleQueue::create(4);
  SampleBufferRef sample = makeSample(1);
  std::atomic<int> enqueued{0};
  auto produce = [&] {
    for (int i = 0; i < kPerProducer; ++i) {
      if (queue->enqueue(sample) == kStatusOK) enqueued.fetch_add(1);
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
