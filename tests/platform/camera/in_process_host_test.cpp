// What only the in-process host does: answer the extension's properties through its sources,
// call sources on its own threads in a fixed order, and keep its promises under concurrent use.
#include "tests/platform/camera/in_process/in_process_host.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "tests/platform/camera/host_test_support.h"

namespace platform::camera::testing {
namespace {

class InProcessHostTest : public ::testing::Test {
 protected:
  void SetUp() override {
    extension.publish();
    ids = findFake(*client);
  }

  // Starts the sink for `hardware` and returns the extension's view of that client.
  ExtensionClientRef startSink(HardwareClient& hardware) {
    EXPECT_EQ(hardware.startStream(ids.device, ids.sink), status::kNoError);
    return extension.sink->streamingClients().back();
  }

  std::shared_ptr<dispatch::ManualClock> clock = std::make_shared<dispatch::ManualClock>();
  InProcessCameraHost host{clock};
  FakeExtension extension{host};
  std::shared_ptr<HardwareClient> client = host.connect();
  FakeIDs ids;
};

TEST_F(InProcessHostTest, PropertiesAreAnsweredByTheSources) {
  PropertyResult formats = client->readProperty(ids.output, {selector::kFormats});
  auto* infos = std::get_if<std::vector<StreamFormatInfo>>(&formats.value);
  ASSERT_TRUE(infos != nullptr);
  ASSERT_EQ(infos->size(), 2u);
  EXPECT_EQ((*infos)[1].pixelFormat, media::kPixelFormat32BGRA);
  EXPECT_EQ((*infos)[1].width, 640);
  EXPECT_EQ((*infos)[1].minFrameDurationTimescale, 30);

  EXPECT_EQ(client->writeProperty(ids.output, {selector::kActiveFormatIndex}, uint32_t{1}),
            status::kNoError);
  EXPECT_EQ(extension.outputSource.activeFormatIndex(), 1);
  EXPECT_EQ(readUInt32(*client, ids.output, selector::kActiveFormatIndex), 1u);
  EXPECT_EQ(
      client->writeProperty(ids.sink, {selector::kFrameDuration}, FrameDurationInfo{1, 60, 1}),
      status::kNoError);
  PropertyResult duration = client->readProperty(ids.sink, {selector::kFrameDuration});
  ASSERT_TRUE(std::holds_alternative<FrameDurationInfo>(duration.value));
  EXPECT_EQ(std::get<FrameDurationInfo>(duration.value).timescale, 60);

  struct Refused {
    ObjectID object;
    uint32_t selector;
    PropertyValue value;
    Status expected;
  };
  for (const Refused& refused : {
           Refused{ids.output, selector::kActiveFormatIndex, std::string("1"),
                   status::kBadPropertySize},
           Refused{ids.output, selector::kName, std::string("x"), status::kIllegalOperation},
           Refused{ids.device, selector::kModel, std::string("x"), status::kIllegalOperation},
           Refused{kSystemObject, selector::kDevices, uint32_t{0}, status::kIllegalOperation},
           Refused{777'777, selector::kActiveFormatIndex, uint32_t{0}, status::kBadObject},
       }) {
    EXPECT_EQ(client->writeProperty(refused.object, {refused.selector}, refused.value),
              refused.expected)
        << refused.object << " " << refused.selector;
  }
  EXPECT_EQ(extension.outputSource.activeFormatIndex(), 1);

  FakeExtension plain(host, std::nullopt);  // no legacy ID: the device ID is the UID
  plain.publish();
  EXPECT_NE(findFake(*client, FakeExtension::kDeviceID).device, kObjectUnknown);
  EXPECT_FALSE(extension.threads.ranOnTestThread);
}

TEST_F(InProcessHostTest, ProviderHearsOfEachClientOnceAndMayRefuseIt) {
  EXPECT_EQ(extension.providerSource.connects, 1);
  auto second = host.connect();
  readIDs(*second, kSystemObject, selector::kDevices);  // the system object is no contact
  EXPECT_EQ(extension.providerSource.connects, 1);
  readString(*second, ids.device, selector::kName);
  readString(*second, ids.device, selector::kName);
  EXPECT_EQ(extension.providerSource.connects, 2);
  second->disconnect();
  EXPECT_EQ(extension.providerSource.disconnects, 1);

  extension.providerSource.acceptClients = false;
  auto refused = host.connect();
  EXPECT_EQ(refused->readProperty(ids.device, {selector::kName}).status, status::kIllegalOperation);
  extension.providerSource.acceptClients = true;
  EXPECT_EQ(readString(*refused, ids.device, selector::kName), "Fake Camera");

  extension.sinkSource.authorize = false;
  EXPECT_EQ(client->startStream(ids.device, ids.sink), status::kIllegalOperation);
  EXPECT_EQ(extension.sinkSource.starts, 0);
  FakeExtension other(host, std::nullopt);
  other.publish();
  const FakeIDs otherIDs = findFake(*client, FakeExtension::kDeviceID);
  EXPECT_EQ(client->startStream(ids.device, otherIDs.sink), status::kIllegalOperation);
  EXPECT_EQ(client->startStream(kSystemObject, ids.sink), status::kBadObject);
}

TEST_F(InProcessHostTest, SinkQueueHasTheAdvertisedOrDefaultCapacity) {
  media::SimpleQueueRef queue;
  ASSERT_EQ(client->copyBufferQueue(ids.sink, nullptr, &queue), status::kNoError);
  EXPECT_EQ(queue->capacity(), platform::camera::kDefaultQueueCapacity);
  media::SimpleQueueRef again;
  ASSERT_EQ(client->copyBufferQueue(ids.sink, nullptr, &again), status::kNoError);
  EXPECT_EQ(again, queue);  // the client's one queue of this stream
  EXPECT_EQ(client->copyBufferQueue(ids.device, nullptr, &again), status::kBadObject);
  EXPECT_EQ(client->copyBufferQueue(ids.sink, nullptr, nullptr), status::kIllegalOperation);

  for (auto [advertised, capacity] : {std::pair{3, 3}, std::pair{1000, 64}}) {
    FakeExtension other(host, std::nullopt);
    other.sinkSource.sinkBufferQueueSize = advertised;
    other.publish();
    auto otherClient = host.connect();
    media::SimpleQueueRef sized;
    ASSERT_EQ(otherClient->copyBufferQueue(findFake(*otherClient, FakeExtension::kDeviceID).sink,
                                           nullptr, &sized),
              status::kNoError);
    EXPECT_EQ(sized->capacity(), capacity);
  }
}

TEST_F(InProcessHostTest, AnswersSayWhetherMoreWaitAndTellTheQueuesClient) {
  std::atomic<int> alterations{0};
  media::SimpleQueueRef queue;
  ASSERT_EQ(client->copyBufferQueue(
                ids.sink, [&] { ++alterations; }, &queue),
            status::kNoError);
  ExtensionClientRef streaming = startSink(*client);
  ASSERT_EQ(queue->enqueue(pictureSample(1)), media::kStatusOK);
  ASSERT_EQ(queue->enqueue(pictureSample(2)), media::kStatusOK);
  ConsumeRecorder recorder;
  extension.sink->consumeSampleBuffer(streaming, recorder.completion());
  extension.sink->consumeSampleBuffer(streaming, recorder.completion());
  host.flush();
  std::vector<ConsumeResult> results = recorder.results();
  ASSERT_EQ(results.size(), 2u);
  EXPECT_TRUE(results[0].hasMore);
  EXPECT_FALSE(results[1].hasMore);
  EXPECT_EQ(alterations, 2);

  extension.sink->notifyScheduledOutputChanged({results[1].sequenceNumber, 42});
  auto confirmed = host.lastScheduledOutput(ids.sink);
  ASSERT_TRUE(confirmed);
  EXPECT_EQ(confirmed->sequenceNumber, results[1].sequenceNumber);
  EXPECT_EQ(confirmed->hostTimeInNanoseconds, 42u);
}

TEST_F(InProcessHostTest, CompletionMayAskAgainFromInsideItselfWithoutRecursing) {
  media::SimpleQueueRef queue;
  ASSERT_EQ(client->copyBufferQueue(ids.sink, nullptr, &queue), status::kNoError);
  ExtensionClientRef streaming = startSink(*client);
  for (int i = 0; i < queue->capacity(); ++i)
    ASSERT_EQ(queue->enqueue(pictureSample(0)), media::kStatusOK);

  // Re-issues until an answer brings no buffer, as the extension's consume loop does.
  static thread_local int depth = 0;
  std::atomic<int> deepest{0};
  std::atomic<int> buffers{0};
  std::function<void()> consume;
  consume = [&] {
    extension.sink->consumeSampleBuffer(
        streaming, [&](media::SampleBufferRef buffer, uint64_t, StreamDiscontinuityFlags, bool,
                       std::optional<ExtensionError>) {
          ++depth;
          deepest = std::max(deepest.load(), depth);
          if (buffer) {
            ++buffers;
            consume();
          }
          --depth;
        });
  };
  consume();
  host.flush();
  EXPECT_EQ(buffers, queue->capacity());
  EXPECT_EQ(deepest, 1);
  ASSERT_EQ(client->stopStream(ids.device, ids.sink), status::kNoError);
  host.flush();
}

// An answer that asks again while the provider is being withdrawn is answered before the
// withdrawal returns, never afterwards, when its owner may be gone.
TEST_F(InProcessHostTest, AnswersCausedByTheWithdrawalArriveBeforeItReturns) {
  ExtensionClientRef streaming = startSink(*client);
  std::atomic<int> answers{0};
  std::function<void()> consume = [&] {
    extension.sink->consumeSampleBuffer(streaming, [&](auto&&...) {
      if (++answers == 1) consume();
    });
  };
  consume();
  extension.withdraw();
  EXPECT_EQ(answers, 2);
  host.flush();
  EXPECT_EQ(answers, 2);
}

TEST_F(InProcessHostTest, SourceCallbacksMayCallBackIntoTheHost) {
  std::vector<ExtensionClientRef> seenAtStart;
  ConsumeRecorder recorder;
  extension.sinkSource.onStart = [&] {
    seenAtStart = extension.sink->streamingClients();
    extension.sink->consumeSampleBuffer(seenAtStart.front(), recorder.completion());
    extension.output->sendSampleBuffer(pictureSample(0), kDiscontinuityNone, 0);
  };
  ASSERT_EQ(client->startStream(ids.device, ids.sink), status::kNoError);
  // The client that started the stream is listed by the time the source starts.
  ASSERT_EQ(seenAtStart.size(), 1u);
  media::SimpleQueueRef queue;
  ASSERT_EQ(client->copyBufferQueue(ids.sink, nullptr, &queue), status::kNoError);
  ASSERT_EQ(queue->enqueue(pictureSample(3)), media::kStatusOK);
  host.flush();
  ASSERT_EQ(recorder.count(), 1u);
  EXPECT_EQ(uniformByte(recorder.results()[0].buffer), 3);
}

// Frames, starts, stops and consumes from several threads at once; run under the thread
// sanitizer, this catches races and lock-order faults between the host's queues.
TEST_F(InProcessHostTest, ConcurrentTrafficNeitherRacesNorDeadlocks) {
  std::atomic<bool> done{false};
  media::SampleBufferRef frame = pictureSample(0);
  std::thread sender([&] {
    while (!done) extension.output->sendSampleBuffer(frame, kDiscontinuityNone, 0);
  });
  std::thread producer([&] {
    auto tool = host.connect();
    media::SimpleQueueRef queue;
    tool->copyBufferQueue(ids.sink, nullptr, &queue);
    while (!done) {
      tool->startStream(ids.device, ids.sink);
      for (const ExtensionClientRef& c : extension.sink->streamingClients()) {
        extension.sink->consumeSampleBuffer(c, [](auto&&...) {});
      }
      queue->enqueue(frame);
      tool->stopStream(ids.device, ids.sink);
    }
  });
  for (int i = 0; i < 200; ++i) {
    auto viewer = host.connect();
    media::SimpleQueueRef queue;
    viewer->copyBufferQueue(ids.output, nullptr, &queue);
    viewer->startStream(ids.device, ids.output);
    if (i % 2 == 0) viewer->stopStream(ids.device, ids.output);
  }
  done = true;
  sender.join();
  producer.join();
  host.flush();
  EXPECT_EQ(extension.outputSource.starts, extension.outputSource.stops);
  EXPECT_EQ(extension.sinkSource.starts, extension.sinkSource.stops);
}

TEST(ExtensionObjectsTest, ObjectsAreAddedOnlyOnce) {
  InProcessCameraHost host;
  FakeExtension one(host), other(host);
  EXPECT_EQ(one.device->addStream(one.sink)->code, host_error::kAlreadyAdded);
  EXPECT_EQ(other.device->addStream(one.output)->code, host_error::kAlreadyAdded);
  EXPECT_EQ(one.provider->addDevice(one.device)->code, host_error::kAlreadyAdded);
  EXPECT_EQ(other.provider->addDevice(one.device)->code, host_error::kAlreadyAdded);
  EXPECT_EQ(other.device->addStream(nullptr)->code, host_error::kInvalidArgument);
  EXPECT_EQ(one.device->streams().size(), 2u);
  EXPECT_EQ(other.device->streams().size(), 2u);
}

}  // namespace
}  // namespace platform::camera::testing
