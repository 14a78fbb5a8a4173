#include <gtest/gtest.h>

#include "tests/platform/camera/host_test_support.h"

namespace platform::camera::testing {
namespace {

class StreamingTest : public PublishedFakeTest {
 protected:
  std::shared_ptr<HardwareClient> second = HardwareClient::connect();
};

TEST_F(StreamingTest, EveryClientIsAuthorizedButTheStreamStartsOnceAndStopsWithTheLast) {
  ASSERT_EQ(client->deviceStartStream(ids.device, ids.output), status::kNoError);
  ASSERT_EQ(second->deviceStartStream(ids.device, ids.output), status::kNoError);
  EXPECT_EQ(client->deviceStartStream(ids.device, ids.output), status::kNoError);  // no-op
  EXPECT_EQ(extension.outputSource.authorizations, 2);
  EXPECT_EQ(extension.outputSource.starts, 1);
  EXPECT_EQ(extension.output->streamingClients().size(), 2u);
  EXPECT_EQ(readUInt32(*client, ids.device, selector::kIsRunningSomewhere), 1u);

  EXPECT_EQ(client->deviceStopStream(ids.device, ids.output), status::kNoError);
  EXPECT_EQ(extension.outputSource.stops, 0);
  EXPECT_EQ(second->deviceStopStream(ids.device, ids.output), status::kNoError);
  EXPECT_EQ(extension.outputSource.stops, 1);
  EXPECT_TRUE(extension.output->streamingClients().empty());
  EXPECT_EQ(readUInt32(*client, ids.device, selector::kIsRunningSomewhere), 0u);
  EXPECT_FALSE(extension.threads.ranOnTestThread);
}

TEST_F(StreamingTest, RefusedClientDoesNotStartTheStream) {
  extension.sinkSource.authorize = false;
  EXPECT_NE(client->deviceStartStream(ids.device, ids.sink), status::kNoError);
  EXPECT_EQ(extension.sinkSource.starts, 0);
  EXPECT_TRUE(extension.sink->streamingClients().empty());
}

TEST_F(StreamingTest, StartStopWithWrongIDsFailWithoutEffect) {
  FakeExtension other(std::nullopt);
  other.publish();
  FakeIDs otherIDs = findFake(*client, FakeExtension::kDeviceID);

  EXPECT_EQ(client->deviceStartStream(ids.device, otherIDs.sink), status::kIllegalOperation);
  EXPECT_EQ(client->deviceStartStream(ids.device, 123'456), status::kBadObject);
  EXPECT_EQ(client->deviceStartStream(kSystemObject, ids.sink), status::kBadObject);
  EXPECT_EQ(client->deviceStopStream(ids.device, ids.sink), status::kNotRunning);
  EXPECT_EQ(client->deviceStopStream(ids.device, otherIDs.sink), status::kIllegalOperation);
  EXPECT_EQ(extension.sinkSource.authorizations + other.sinkSource.authorizations, 0);
  EXPECT_EQ(extension.sinkSource.stops + other.sinkSource.stops, 0);
}

TEST_F(StreamingTest, DisconnectOrDestructionStopsTheClientsStreams) {
  ASSERT_EQ(client->deviceStartStream(ids.device, ids.output), status::kNoError);
  ASSERT_EQ(second->deviceStartStream(ids.device, ids.sink), status::kNoError);

  client->disconnect();
  client->disconnect();
  EXPECT_EQ(extension.outputSource.stops, 1);
  EXPECT_EQ(client->deviceStartStream(ids.device, ids.output), status::kIllegalOperation);

  second.reset();
  EXPECT_EQ(extension.sinkSource.stops, 1);
  EXPECT_EQ(extension.providerSource.disconnects, 2);
  EXPECT_EQ(extension.providerSource.connects, 2);
}

TEST_F(StreamingTest, SourceCallbacksMayCallBackIntoTheHost) {
  std::vector<ExtensionClientRef> seenAtStart;
  ConsumeRecorder recorder;
  extension.sinkSource.onStart = [&] {
    seenAtStart = extension.sink->streamingClients();
    extension.sink->consumeSampleBuffer(seenAtStart.front(), recorder.completion());
    extension.output->sendSampleBuffer(makeSampleBuffer(), kDiscontinuityNone, 0);
  };
  ASSERT_EQ(client->deviceStartStream(ids.device, ids.sink), status::kNoError);
  // The client that started the stream is listed by the time the source starts.
  ASSERT_EQ(seenAtStart.size(), 1u);

  media::SimpleQueueRef queue;
  ASSERT_EQ(client->streamCopyBufferQueue(ids.sink, nullptr, nullptr, &queue), status::kNoError);
  ASSERT_EQ(queue->enqueue(makeSampleBuffer()), media::kStatusOK);
  flush();
  ASSERT_EQ(recorder.results().size(), 1u);
  EXPECT_TRUE(recorder.results()[0].buffer);
}

TEST_F(StreamingTest, StopServiceStopsStreamsAndEndsWaitingConsumes) {
  ConsumeRecorder recorder;
  ASSERT_EQ(client->deviceStartStream(ids.device, ids.sink), status::kNoError);
  ASSERT_EQ(client->deviceStartStream(ids.device, ids.output), status::kNoError);
  extension.sink->consumeSampleBuffer(extension.sink->streamingClients().front(),
                                      recorder.completion());

  ExtensionProvider::stopService(extension.provider);
  // Nothing is flushed: stopService returns after the ended request has been completed.
  recorder.expectFailures(1, host_error::kNotPublished);
  EXPECT_EQ(extension.sinkSource.stops, 1);
  EXPECT_EQ(extension.outputSource.stops, 1);
  EXPECT_EQ(extension.providerSource.disconnects, 1);
  EXPECT_TRUE(readIDs(*client, kSystemObject, selector::kDevices).empty());
  EXPECT_EQ(client->deviceStopStream(ids.device, ids.sink), status::kBadObject);

  // The timeout of the ended request never completes it a second time.
  clock->advance(2 * HostRuntime::kConsumeTimeoutNanos);
  flush();
  EXPECT_EQ(recorder.results().size(), 1u);
}

TEST_F(StreamingTest, ObjectsAreAddedOnlyOnce) {
  FakeExtension other;
  EXPECT_EQ(extension.device->addStream(extension.sink)->code, host_error::kAlreadyAdded);
  EXPECT_EQ(other.device->addStream(extension.output)->code, host_error::kAlreadyAdded);
  EXPECT_EQ(extension.provider->addDevice(extension.device)->code, host_error::kAlreadyAdded);
  EXPECT_EQ(other.provider->addDevice(extension.device)->code, host_error::kAlreadyAdded);
  EXPECT_EQ(other.device->addStream(nullptr)->code, host_error::kInvalidArgument);
  EXPECT_EQ(extension.device->streams().size(), 2u);
  EXPECT_EQ(other.device->streams().size(), 2u);
}

TEST_F(StreamingTest, FreeFunctionsUseTheProcessesOwnConnection) {
  uint32_t size = 0;
  ASSERT_EQ(objectGetPropertyDataSize(ids.device, address(selector::kStreams), 0, nullptr, &size),
            status::kNoError);
  EXPECT_EQ(size, 2 * sizeof(ObjectID));
  media::SimpleQueueRef queue;
  ASSERT_EQ(streamCopyBufferQueue(ids.sink, nullptr, nullptr, &queue), status::kNoError);
  ASSERT_EQ(deviceStartStream(ids.device, ids.sink), status::kNoError);
  EXPECT_EQ(extension.sink->streamingClients().size(), 1u);
  EXPECT_EQ(deviceStopStream(ids.device, ids.sink), status::kNoError);
  EXPECT_EQ(extension.sinkSource.stops, 1);
}

}  // namespace
}  // namespace platform::camera::testing
