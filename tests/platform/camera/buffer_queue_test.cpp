#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "tests/platform/camera/host_test_support.h"

namespace platform::camera::testing {
namespace {

// Counts queue-altered callbacks; they arrive on a host thread.
void countAlteration(ObjectID, void*, void* refCon) {
  ++*static_cast<std::atomic<int>*>(refCon);
}

class BufferQueueTest : public PublishedFakeTest {
 protected:
  BufferQueueTest() { extension.sinkSource.sinkBufferQueueSize = 3; }

  // Starts the sink for `hardware` and returns the extension's view of that client.
  ExtensionClientRef startSink(HardwareClient& hardware) {
    EXPECT_EQ(hardware.deviceStartStream(ids.device, ids.sink), status::kNoError);
    return extension.sink->streamingClients().back();
  }

  media::SimpleQueueRef copyQueue(HardwareClient& hardware, ObjectID stream) {
    media::SimpleQueueRef queue;
    EXPECT_EQ(hardware.streamCopyBufferQueue(stream, countAlteration, &alterations, &queue),
              status::kNoError);
    return queue;
  }

  // Starts the sink for `client` and issues one consume, which waits on the returned empty queue.
  media::SimpleQueueRef startWaitingConsume() {
    media::SimpleQueueRef queue = copyQueue(*client, ids.sink);
    extension.sink->consumeSampleBuffer(startSink(*client), recorder.completion());
    return queue;
  }

  std::atomic<int> alterations{0};
  ConsumeRecorder recorder;
};

TEST_F(BufferQueueTest, SinkQueueHasTheAdvertisedOrDefaultCapacityAndRefusesNothingness) {
  media::SimpleQueueRef queue = copyQueue(*client, ids.sink);
  ASSERT_TRUE(queue);
  EXPECT_EQ(queue->capacity(), 3);
  EXPECT_EQ(queue->enqueue(nullptr), media::kStatusInvalidParameter);
  EXPECT_EQ(copyQueue(*client, ids.sink), queue);  // the client's one queue of this stream
  EXPECT_EQ(client->streamCopyBufferQueue(ids.sink, nullptr, nullptr, nullptr),
            status::kIllegalOperation);
  EXPECT_EQ(client->streamCopyBufferQueue(ids.device, nullptr, nullptr, &queue),
            status::kBadObject);

  FakeExtension silent(std::nullopt);  // its sink advertises no queue size
  silent.publish();
  EXPECT_EQ(copyQueue(*client, findFake(*client, FakeExtension::kDeviceID).sink)->capacity(),
            HostRuntime::kDefaultQueueCapacity);
}

TEST_F(BufferQueueTest, ConsumeTakesWaitingBuffersInOrderAndSaysWhetherMoreWait) {
  media::SimpleQueueRef queue = copyQueue(*client, ids.sink);
  ExtensionClientRef streaming = startSink(*client);
  media::SampleBufferRef a = makeSampleBuffer();
  media::SampleBufferRef b = makeSampleBuffer();
  ASSERT_EQ(queue->enqueue(a), media::kStatusOK);
  ASSERT_EQ(queue->enqueue(b), media::kStatusOK);

  extension.sink->consumeSampleBuffer(streaming, recorder.completion());
  extension.sink->consumeSampleBuffer(streaming, recorder.completion());
  flush();
  std::vector<ConsumeResult> results = recorder.results();
  ASSERT_EQ(results.size(), 2u);
  EXPECT_EQ(results[0].buffer, a);
  EXPECT_TRUE(results[0].hasMore);
  EXPECT_EQ(results[1].buffer, b);
  EXPECT_FALSE(results[1].hasMore);
  EXPECT_LT(results[0].sequenceNumber, results[1].sequenceNumber);
  EXPECT_FALSE(results[0].error || results[1].error);
  EXPECT_EQ(queue->count(), 0);
  EXPECT_EQ(alterations, 2);

  extension.sink->notifyScheduledOutputChanged({results[1].sequenceNumber, 42});
  auto confirmed = HostRuntime::processRuntime().lastScheduledOutput(ids.sink);
  ASSERT_TRUE(confirmed);
  EXPECT_EQ(confirmed->sequenceNumber, results[1].sequenceNumber);
  EXPECT_EQ(confirmed->hostTimeInNanoseconds, 42u);
}

TEST_F(BufferQueueTest, WaitingConsumeCompletesWhenTheClientEnqueues) {
  media::SimpleQueueRef queue = startWaitingConsume();
  flush();
  EXPECT_TRUE(recorder.results().empty());

  media::SampleBufferRef buffer = makeSampleBuffer();
  ASSERT_EQ(queue->enqueue(buffer), media::kStatusOK);
  flush();
  ASSERT_EQ(recorder.results().size(), 1u);
  EXPECT_EQ(recorder.results()[0].buffer, buffer);
  EXPECT_EQ(queue->count(), 0);
}

TEST_F(BufferQueueTest, ConsumeTimesOutAfterOneSecondOnTheHostClock) {
  startWaitingConsume();
  clock->advance(HostRuntime::kConsumeTimeoutNanos - 1);
  flush();
  EXPECT_TRUE(recorder.results().empty());

  clock->advance(1);
  flush();
  recorder.expectFailures(1, host_error::kTimedOut);
}

TEST_F(BufferQueueTest, WaitingConsumeStillTimesOutWhenTheHostClockIsReplaced) {
  startWaitingConsume();
  auto replacement = std::make_shared<dispatch::ManualClock>(5'000'000'000);
  setHostClock(replacement);
  clock->advance(2 * HostRuntime::kConsumeTimeoutNanos);  // the old clock no longer counts
  flush();
  EXPECT_TRUE(recorder.results().empty());

  replacement->advance(HostRuntime::kConsumeTimeoutNanos);
  flush();
  recorder.expectFailures(1, host_error::kTimedOut);
}

TEST_F(BufferQueueTest, ConsumeFailsAtOnceForAClientThatIsNotStreaming) {
  ExtensionClientRef streaming = startSink(*client);
  extension.sink->consumeSampleBuffer(nullptr, recorder.completion());
  extension.output->consumeSampleBuffer(streaming, recorder.completion());  // not a sink
  ASSERT_EQ(client->deviceStopStream(ids.device, ids.sink), status::kNoError);
  extension.sink->consumeSampleBuffer(streaming, recorder.completion());
  flush();
  recorder.expectFailures(3, host_error::kNotStreaming);
}

TEST_F(BufferQueueTest, StopOrDisconnectEndsWaitingConsumesExactlyOnce) {
  auto other = HardwareClient::connect();
  ExtensionClientRef stopping = startSink(*client);
  ExtensionClientRef leaving = startSink(*other);
  extension.sink->consumeSampleBuffer(stopping, recorder.completion());
  extension.sink->consumeSampleBuffer(leaving, recorder.completion());

  ASSERT_EQ(client->deviceStopStream(ids.device, ids.sink), status::kNoError);
  other.reset();
  clock->advance(2 * HostRuntime::kConsumeTimeoutNanos);
  flush();
  recorder.expectFailures(2, host_error::kStreamStopped);
}

TEST_F(BufferQueueTest, CompletionMayAskAgainFromInsideItselfWithoutRecursing) {
  media::SimpleQueueRef queue = copyQueue(*client, ids.sink);
  ExtensionClientRef streaming = startSink(*client);
  for (int i = 0; i < queue->capacity(); ++i) ASSERT_EQ(queue->enqueue(makeSampleBuffer()), 0);

  // Re-issues until an answer brings no buffer, as the extension's consume loop does.
  static thread_local int depth = 0;
  std::atomic<int> deepest{0};
  std::atomic<int> buffers{0};
  std::atomic<bool> onTestThread{false};
  const std::thread::id testThread = std::this_thread::get_id();
  std::function<void()> consume;
  consume = [&] {
    extension.sink->consumeSampleBuffer(
        streaming, [&](media::SampleBufferRef buffer, uint64_t, StreamDiscontinuityFlags, bool,
                       std::optional<ExtensionError>) {
          ++depth;
          deepest = std::max(deepest.load(), depth);
          if (std::this_thread::get_id() == testThread) onTestThread = true;
          if (buffer) {
            ++buffers;
            consume();
          }
          --depth;
        });
  };
  consume();
  flush();
  EXPECT_EQ(buffers, 3);
  EXPECT_EQ(deepest, 1);
  EXPECT_FALSE(onTestThread);

  // The fourth request waits; a buffer enqueued later reaches it, and the loop goes on.
  ASSERT_EQ(queue->enqueue(makeSampleBuffer()), 0);
  flush();
  EXPECT_EQ(buffers, 4);
  ASSERT_EQ(client->deviceStopStream(ids.device, ids.sink), status::kNoError);
  flush();
}

TEST_F(BufferQueueTest, SentFramesReachEveryStreamingClientWithAQueue) {
  auto watcher = HardwareClient::connect();
  auto idle = HardwareClient::connect();
  media::SimpleQueueRef first = copyQueue(*client, ids.output);
  media::SimpleQueueRef second = copyQueue(*watcher, ids.output);
  media::SimpleQueueRef notStreaming = copyQueue(*idle, ids.output);
  ASSERT_EQ(client->deviceStartStream(ids.device, ids.output), status::kNoError);
  ASSERT_EQ(watcher->deviceStartStream(ids.device, ids.output), status::kNoError);

  media::SampleBufferRef frame = makeSampleBuffer();
  extension.output->sendSampleBuffer(frame, kDiscontinuityNone, 0);
  extension.sink->sendSampleBuffer(makeSampleBuffer(), kDiscontinuityNone, 0);  // ignored
  flush();
  EXPECT_EQ(first->dequeue(), frame);
  EXPECT_EQ(second->dequeue(), frame);
  EXPECT_EQ(first->count() + second->count() + notStreaming->count(), 0);
  EXPECT_EQ(alterations, 2);
}

TEST_F(BufferQueueTest, SlowClientLosesItsOldestFrames) {
  media::SimpleQueueRef queue = copyQueue(*client, ids.output);
  ASSERT_EQ(client->deviceStartStream(ids.device, ids.output), status::kNoError);
  std::vector<media::SampleBufferRef> frames;
  for (int i = 0; i < queue->capacity() + 2; ++i) {
    frames.push_back(makeSampleBuffer());
    extension.output->sendSampleBuffer(frames.back(), kDiscontinuityNone, 0);
  }
  for (size_t i = 2; i < frames.size(); ++i) EXPECT_EQ(queue->dequeue(), frames[i]);
  EXPECT_EQ(queue->count(), 0);
}

// Frames, starts, stops and consumes from several threads at once; run under the thread
// sanitizer, this catches races and lock-order faults between the host's queues.
TEST_F(BufferQueueTest, ConcurrentTrafficNeitherRacesNorDeadlocks) {
  std::atomic<bool> done{false};
  std::thread sender([&] {
    while (!done) extension.output->sendSampleBuffer(makeSampleBuffer(), kDiscontinuityNone, 0);
  });
  std::thread producer([&] {
    auto tool = HardwareClient::connect();
    media::SimpleQueueRef queue = copyQueue(*tool, ids.sink);
    while (!done) {
      tool->deviceStartStream(ids.device, ids.sink);
      for (const ExtensionClientRef& c : extension.sink->streamingClients()) {
        extension.sink->consumeSampleBuffer(c, [](auto&&...) {});
      }
      queue->enqueue(makeSampleBuffer());
      tool->deviceStopStream(ids.device, ids.sink);
    }
  });
  for (int i = 0; i < 200; ++i) {
    auto viewer = HardwareClient::connect();
    copyQueue(*viewer, ids.output);
    viewer->deviceStartStream(ids.device, ids.output);
    if (i % 2 == 0) viewer->deviceStopStream(ids.device, ids.output);
  }
  done = true;
  sender.join();
  producer.join();
  flush();
  EXPECT_EQ(extension.outputSource.starts, extension.outputSource.stops);
  EXPECT_EQ(extension.sinkSource.starts, extension.sinkSource.stops);
}

}  // namespace
}  // namespace platform::camera::testing
