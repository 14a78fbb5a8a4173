// What every camera host promises its extensions and clients, run against the implementation
// this program is linked with.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>

#include "tests/platform/camera/host_test_support.h"

namespace platform::camera::testing {
namespace {

class HostContractTest : public ::testing::Test {
 protected:
  void SetUp() override {
    extension.sinkSource.sinkBufferQueueSize = 3;
    extension.publish();
    ASSERT_TRUE(harness->eventually([&] { return findFake(*client).device != kObjectUnknown; }));
    ids = findFake(*client);
  }

  // Starts `stream` for `who` and waits until the extension's source has seen it.
  void start(HardwareClient& who, ObjectID stream, FakeStreamSource& source, int starts = 1) {
    ASSERT_EQ(who.startStream(ids.device, stream), status::kNoError);
    ASSERT_TRUE(harness->eventually([&] { return source.starts == starts; }));
  }

  std::unique_ptr<HostHarness> harness = makeHostHarness();
  FakeExtension extension{harness->host()};
  std::shared_ptr<HardwareClient> client = harness->host().connect();
  FakeIDs ids;
};

TEST_F(HostContractTest, PublishedDeviceShowsItsIdentityAndStreamsInOrder) {
  EXPECT_EQ(readIDs(*client, ids.device, selector::kStreams),
            (std::vector<ObjectID>{ids.sink, ids.output}));
  EXPECT_EQ(readString(*client, ids.device, selector::kName), "Fake Camera");
  EXPECT_EQ(readString(*client, ids.device, selector::kDeviceUID), fakeDeviceUID());
  // The tree numbers directions from the device's side: the extension's sink is 0.
  EXPECT_EQ(readUInt32(*client, ids.sink, selector::kDirection), 0u);
  EXPECT_EQ(readUInt32(*client, ids.output, selector::kDirection), 1u);
  EXPECT_EQ(readUInt32(*client, ids.device, selector::kIsRunningSomewhere), 0u);
  // What the extension's sources answer, read as an application reads it.
  EXPECT_EQ(readString(*client, ids.device, selector::kModel), "Fake Model");
  EXPECT_EQ(readUInt32(*client, ids.device, selector::kTransportType), kTransportTypeVirtual);
  EXPECT_EQ(readString(*client, ids.device, selector::kProviderName), "Fake Provider");
  EXPECT_EQ(readString(*client, ids.device, selector::kManufacturer), "Fakes");
  EXPECT_EQ(readString(*client, ids.output, selector::kName), "Fake Output");
  for (ObjectID stream : {ids.sink, ids.output}) {
    PropertyResult duration = client->readProperty(stream, {selector::kFrameDuration});
    const auto* info = duration.valueIf<FrameDurationInfo>();
    ASSERT_NE(info, nullptr);
    EXPECT_EQ(info->value, 1);
    EXPECT_EQ(info->timescale, 30);
  }
  EXPECT_EQ(readUInt32(*client, ids.sink, selector::kSinkBufferQueueSize), 3u);
  EXPECT_EQ(readUInt32(*client, ids.sink, selector::kSinkBufferUnderrunCount), 0u);
  EXPECT_EQ(client->readProperty(ids.output, {selector::kSinkBufferQueueSize}).status,
            status::kUnknownProperty);

  EXPECT_EQ(client->readProperty(999'999, {selector::kName}).status, status::kBadObject);
  EXPECT_EQ(client->readProperty(ids.device, {fourCC("zzzz")}).status, status::kUnknownProperty);
  EXPECT_EQ(client->startStream(ids.device, 999'999), status::kBadObject);
  EXPECT_EQ(client->stopStream(ids.device, ids.sink), status::kNotRunning);
  EXPECT_FALSE(extension.threads.ranOnTestThread);
}

TEST_F(HostContractTest, ProviderGoneAndBackIsSeenUnderNewIDs) {
  extension.withdraw();
  ASSERT_TRUE(harness->eventually([&] { return findFake(*client).device == kObjectUnknown; }));
  EXPECT_EQ(readString(*client, ids.device, selector::kName), std::nullopt);

  extension.publish();
  extension.publish();  // publishing a published provider changes nothing
  ASSERT_TRUE(harness->eventually([&] { return findFake(*client).device != kObjectUnknown; }));
  const FakeIDs again = findFake(*client);
  int published = 0;
  for (ObjectID device : readIDs(*client, kSystemObject, selector::kDevices)) {
    published += readString(*client, device, selector::kDeviceUID) == fakeDeviceUID();
  }
  EXPECT_EQ(published, 1);
  std::vector<ObjectID> all{ids.device, ids.sink, ids.output, again.device, again.sink,
                            again.output};
  std::sort(all.begin(), all.end());
  EXPECT_EQ(std::adjacent_find(all.begin(), all.end()), all.end());
}

// Sent frames reach every watcher; one that never takes its frames keeps only the newest ones and
// slows nobody. The watchers ask for the second format, which the source hears of.
TEST_F(HostContractTest, OutputStreamRunsFromTheFirstWatcherToTheLast) {
  auto second = harness->host().connect();
  for (auto* watcher : {client.get(), second.get()}) {
    ASSERT_EQ(watcher->writeProperty(ids.output, {selector::kActiveFormatIndex}, 1u),
              status::kNoError);
  }
  media::SimpleQueueRef slow, taking;
  ASSERT_EQ(client->copyBufferQueue(ids.output, nullptr, &slow), status::kNoError);
  ASSERT_EQ(second->copyBufferQueue(ids.output, nullptr, &taking), status::kNoError);
  start(*client, ids.output, extension.outputSource);
  ASSERT_EQ(second->startStream(ids.device, ids.output), status::kNoError);
  ASSERT_TRUE(harness->eventually(
      [&] { return readUInt32(*client, ids.device, selector::kIsRunningSomewhere) == 1u; }));
  EXPECT_EQ(extension.outputSource.starts, 1);
  ASSERT_TRUE(harness->eventually([&] { return extension.outputSource.activeFormatIndex() == 1; }));

  // Each frame is sent until the taking watcher has it: a camera sends every tick, and one sent
  // before a watcher's buffers are in place may be skipped.
  const int frames = slow->capacity() + 3;
  uint64_t lastSequence = 0;
  for (int i = 1; i <= frames; ++i) {
    const uint64_t pts = 7'000'000'000 + static_cast<uint64_t>(i);
    ASSERT_TRUE(harness->eventually([&] {
      extension.output->sendSampleBuffer(pictureSample(static_cast<uint8_t>(i), 640, 480, pts),
                                         kDiscontinuityNone, pts);
      for (media::SampleBufferRef got; (got = taking->dequeue());) {
        if (uniformByte(got) != i) continue;
        // Each frame keeps the camera's time, and the host numbers what it sent.
        EXPECT_EQ(got->presentationTimeStamp(), media::MediaTime::fromNanos(pts));
        EXPECT_GT(got->sequenceNumber(), lastSequence);
        lastSequence = got->sequenceNumber();
        return true;
      }
      return false;
    })) << i;
  }
  harness->settle();
  // The slow watcher kept the newest frames, in the order sent.
  EXPECT_EQ(slow->count(), slow->capacity());
  std::optional<uint8_t> previous = 0;
  while (media::SampleBufferRef kept = slow->dequeue()) {
    const std::optional<uint8_t> value = uniformByte(kept);
    ASSERT_TRUE(value);
    EXPECT_GE(*value, *previous);
    previous = value;
  }
  EXPECT_EQ(previous, frames);

  EXPECT_EQ(client->stopStream(ids.device, ids.output), status::kNoError);
  harness->settle();
  EXPECT_EQ(extension.outputSource.stops, 0);
  EXPECT_EQ(second->stopStream(ids.device, ids.output), status::kNoError);
  ASSERT_TRUE(harness->eventually([&] { return extension.outputSource.stops == 1; }));
  ASSERT_TRUE(harness->eventually(
      [&] { return readUInt32(*client, ids.device, selector::kIsRunningSomewhere) == 0u; }));
  EXPECT_FALSE(extension.threads.ranOnTestThread);
}

// Each consume request is answered exactly once: with the buffer the client enqueued, with a
// time-out after one second without one, or at once for a client that does not stream.
TEST_F(HostContractTest, ConsumeIsAnsweredExactlyOnce) {
  media::SimpleQueueRef queue;
  ASSERT_EQ(client->copyBufferQueue(ids.sink, nullptr, &queue), status::kNoError);
  EXPECT_EQ(queue->capacity(), 3);  // as the sink advertises
  start(*client, ids.sink, extension.sinkSource);
  const std::vector<ExtensionClientRef> streaming = extension.sink->streamingClients();
  ASSERT_EQ(streaming.size(), 1u);

  ConsumeRecorder delivered;
  ASSERT_EQ(queue->enqueue(pictureSample(7, 1920, 1080, 5'000'000'001, 41)), media::kStatusOK);
  ASSERT_EQ(queue->enqueue(pictureSample(9, 1920, 1080, 5'033'333'334, 42)), media::kStatusOK);
  extension.sink->consumeSampleBuffer(streaming[0], delivered.completion());
  ASSERT_TRUE(harness->eventually([&] { return delivered.count() == 1; }));
  extension.sink->consumeSampleBuffer(streaming[0], delivered.completion());
  ASSERT_TRUE(harness->eventually([&] { return delivered.count() == 2; }));
  std::vector<ConsumeResult> results = delivered.results();
  ASSERT_FALSE(results[0].error || results[1].error);
  EXPECT_EQ(uniformByte(results[0].buffer), 7);
  EXPECT_EQ(uniformByte(results[1].buffer), 9);
  EXPECT_LT(results[0].sequenceNumber, results[1].sequenceNumber);
  // What the producer stamped on each frame travels with it.
  EXPECT_EQ(results[0].buffer->presentationTimeStamp(), media::MediaTime::fromNanos(5'000'000'001));
  EXPECT_EQ(results[1].buffer->presentationTimeStamp(), media::MediaTime::fromNanos(5'033'333'334));
  EXPECT_EQ(results[0].buffer->sequenceNumber(), 41u);
  EXPECT_EQ(results[1].buffer->sequenceNumber(), 42u);

  ConsumeRecorder timedOut;
  const uint64_t asked = harness->nowNanos();
  std::atomic<uint64_t> answered{0};
  extension.sink->consumeSampleBuffer(streaming[0], [&, record = timedOut.completion()](
                                                        auto&&... answer) {
    answered = harness->nowNanos();
    ++extension.sinkSource.underruns;  // as the extension counts an empty answer
    record(answer...);
  });
  harness->elapse(kConsumeTimeoutNanos + 100'000'000);
  ASSERT_TRUE(harness->eventually([&] { return timedOut.count() == 1; }));
  EXPECT_GE(answered - asked, kConsumeTimeoutNanos);
  // Clients read the count the sink reports after the underrun.
  EXPECT_TRUE(harness->eventually(
      [&] { return readUInt32(*client, ids.sink, selector::kSinkBufferUnderrunCount) == 1u; }));

  ConsumeRecorder refused;
  extension.sink->consumeSampleBuffer(nullptr, refused.completion());
  ASSERT_TRUE(harness->eventually([&] { return refused.count() == 1; }));

  harness->elapse(2 * kConsumeTimeoutNanos);
  harness->settle();
  EXPECT_EQ(delivered.count(), 2u);
  expectFailures(timedOut, 1, host_error::kTimedOut);
  expectFailures(refused, 1, host_error::kNotStreaming);
}

TEST_F(HostContractTest, ClientGoneStopsItsStreamsAndEndsItsWaitingConsume) {
  start(*client, ids.sink, extension.sinkSource);
  start(*client, ids.output, extension.outputSource);
  ConsumeRecorder waiting;
  extension.sink->consumeSampleBuffer(extension.sink->streamingClients().at(0),
                                      waiting.completion());

  client->disconnect();
  client->disconnect();
  ASSERT_TRUE(harness->eventually([&] {
    return extension.sinkSource.stops == 1 && extension.outputSource.stops == 1 &&
           waiting.count() == 1;
  }));
  expectFailures(waiting, 1, host_error::kStreamStopped);
  EXPECT_TRUE(extension.sink->streamingClients().empty());
  EXPECT_EQ(client->startStream(ids.device, ids.output), status::kIllegalOperation);
}

TEST_F(HostContractTest, StopServiceStopsStreamsAndEndsWaitingConsumesBeforeItReturns) {
  start(*client, ids.sink, extension.sinkSource);
  start(*client, ids.output, extension.outputSource);
  ConsumeRecorder waiting;
  extension.sink->consumeSampleBuffer(extension.sink->streamingClients().at(0),
                                      waiting.completion());

  extension.withdraw();
  expectFailures(waiting, 1, host_error::kNotPublished);
  EXPECT_EQ(extension.sinkSource.stops, 1);
  EXPECT_EQ(extension.outputSource.stops, 1);
  // A consume issued after the withdrawal is answered at once, on the caller's thread.
  ConsumeRecorder late;
  extension.sink->consumeSampleBuffer(nullptr, late.completion());
  expectFailures(late, 1, host_error::kNotPublished);
}

}  // namespace
}  // namespace platform::camera::testing
