#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "tests/platform/camera/host_test_support.h"

namespace platform::camera::testing {
namespace {

class ObjectTreeTest : public HostTest {
 protected:
  void SetUp() override {
    HostTest::SetUp();
    extension.publish();
    ids = findFake(*client);
  }

  FakeExtension extension;
  std::shared_ptr<HardwareClient> client = HardwareClient::connect();
  FakeIDs ids;
};

TEST_F(ObjectTreeTest, PublishesTheDeviceAndItsStreamsWithTheirProperties) {
  ASSERT_NE(ids.device, kObjectUnknown);
  EXPECT_EQ(readIDs(*client, ids.device, selector::kStreams),
            (std::vector<ObjectID>{ids.sink, ids.output}));
  EXPECT_EQ(readString(*client, ids.device, selector::kName), "Fake Camera");
  EXPECT_EQ(readString(*client, ids.device, selector::kModel), "Fake Model");
  EXPECT_EQ(readUInt32(*client, ids.device, selector::kTransportType), kTransportTypeVirtual);
  EXPECT_EQ(readUInt32(*client, ids.device, selector::kIsRunningSomewhere), 0u);
  EXPECT_EQ(readString(*client, ids.sink, selector::kName), "Fake Sink");
  EXPECT_EQ(readString(*client, ids.output, selector::kName), "Fake Output");
  // The tree numbers directions from the device's side: the extension's sink is 0.
  EXPECT_EQ(readUInt32(*client, ids.sink, selector::kDirection), 0u);
  EXPECT_EQ(readUInt32(*client, ids.output, selector::kDirection), 1u);
  EXPECT_EQ(readUInt32(*client, ids.output, selector::kActiveFormatIndex), 0u);

  uint32_t size = 0;
  ASSERT_EQ(client->getPropertyDataSize(ids.output, address(selector::kFormats), 0, nullptr, &size),
            status::kNoError);
  ASSERT_EQ(size, 2 * sizeof(StreamFormatInfo));
  StreamFormatInfo formats[2] = {};
  uint32_t used = 0;
  ASSERT_EQ(client->getPropertyData(ids.output, address(selector::kFormats), 0, nullptr, size,
                                    &used, formats),
            status::kNoError);
  EXPECT_EQ(formats[1].pixelFormat, media::kPixelFormat32BGRA);
  EXPECT_EQ(formats[1].width, 640);
  EXPECT_EQ(formats[1].height, 480);
  EXPECT_EQ(formats[1].minFrameDurationValue, 1);
  EXPECT_EQ(formats[1].minFrameDurationTimescale, 30);
  EXPECT_FALSE(extension.threads.ranOnTestThread);
}

TEST_F(ObjectTreeTest, DeviceWithoutLegacyIDPublishesItsDeviceIDAsUID) {
  FakeExtension plain(std::nullopt);
  plain.publish();
  std::vector<ObjectID> devices = readIDs(*client, kSystemObject, selector::kDevices);
  ASSERT_EQ(devices.size(), 2u);
  EXPECT_EQ(readString(*client, devices[1], selector::kDeviceUID), FakeExtension::kDeviceID);
}

TEST_F(ObjectTreeTest, ReadsKeepThePlatformContract) {
  EXPECT_EQ(
      client->getPropertyDataSize(ids.device, address(selector::kStreams), 0, nullptr, nullptr),
      status::kIllegalOperation);
  uint32_t size = 0;
  ASSERT_EQ(
      client->getPropertyDataSize(ids.device, address(selector::kDeviceUID), 0, nullptr, &size),
      status::kNoError);
  EXPECT_EQ(size, sizeof(StringRef));

  // A buffer for one of two IDs gets the first one only.
  ObjectID first = kObjectUnknown;
  uint32_t used = 0;
  ASSERT_EQ(client->getPropertyData(ids.device, address(selector::kStreams), 0, nullptr,
                                    sizeof(first), &used, &first),
            status::kNoError);
  EXPECT_EQ(first, ids.sink);
  EXPECT_EQ(used, sizeof(first));

  uint16_t tooSmall = 0;
  EXPECT_EQ(client->getPropertyData(ids.device, address(selector::kIsRunningSomewhere), 0, nullptr,
                                    sizeof(tooSmall), &used, &tooSmall),
            status::kBadPropertySize);
  EXPECT_EQ(client->getPropertyData(ids.device, address(selector::kDeviceUID), 0, nullptr, 4, &used,
                                    &first),
            status::kBadPropertySize);
  EXPECT_EQ(client->getPropertyData(ids.device, address(selector::kStreams), 0, nullptr, 8, &used,
                                    nullptr),
            status::kIllegalOperation);
  EXPECT_EQ(client->getPropertyDataSize(999'999, address(selector::kName), 0, nullptr, &size),
            status::kBadObject);
  EXPECT_EQ(readUInt32(*client, kObjectUnknown, selector::kDirection), std::nullopt);
  EXPECT_EQ(client->getPropertyDataSize(ids.device, address(fourCC("zzzz")), 0, nullptr, &size),
            status::kUnknownProperty);
  EXPECT_EQ(client->getPropertyDataSize(ids.sink, address(selector::kModel), 0, nullptr, &size),
            status::kUnknownProperty);
}

TEST_F(ObjectTreeTest, ListThatShrankBetweenSizeAndReadLeavesTheCallersFillers) {
  FakeExtension other(std::nullopt);
  other.publish();
  uint32_t size = 0;
  ASSERT_EQ(
      client->getPropertyDataSize(kSystemObject, address(selector::kDevices), 0, nullptr, &size),
      status::kNoError);
  ASSERT_EQ(size, 2 * sizeof(ObjectID));
  ExtensionProvider::stopService(other.provider);

  std::vector<ObjectID> devices(2, kObjectUnknown);
  uint32_t used = 0;
  ASSERT_EQ(client->getPropertyData(kSystemObject, address(selector::kDevices), 0, nullptr, size,
                                    &used, devices.data()),
            status::kNoError);
  EXPECT_EQ(devices, (std::vector<ObjectID>{ids.device, kObjectUnknown}));
  EXPECT_EQ(used, sizeof(ObjectID));
}

TEST_F(ObjectTreeTest, SettablePropertiesReachTheStreamSource) {
  uint32_t index = 1;
  EXPECT_EQ(client->setPropertyData(ids.output, address(selector::kActiveFormatIndex), 0, nullptr,
                                    sizeof(index), &index),
            status::kNoError);
  EXPECT_EQ(extension.outputSource.activeFormatIndex(), 1);
  EXPECT_EQ(readUInt32(*client, ids.output, selector::kActiveFormatIndex), 1u);

  FrameDurationInfo duration{1, 60, 1};
  EXPECT_EQ(client->setPropertyData(ids.sink, address(selector::kFrameDuration), 0, nullptr,
                                    sizeof(duration), &duration),
            status::kNoError);
  FrameDurationInfo read{};
  uint32_t used = 0;
  ASSERT_EQ(client->getPropertyData(ids.sink, address(selector::kFrameDuration), 0, nullptr,
                                    sizeof(read), &used, &read),
            status::kNoError);
  EXPECT_EQ(read.value, 1);
  EXPECT_EQ(read.timescale, 60);
  EXPECT_EQ(read.valid, 1u);

  uint16_t shortIndex = 0;
  EXPECT_EQ(client->setPropertyData(ids.output, address(selector::kActiveFormatIndex), 0, nullptr,
                                    sizeof(shortIndex), &shortIndex),
            status::kBadPropertySize);
  EXPECT_EQ(client->setPropertyData(ids.output, address(selector::kActiveFormatIndex), 0, nullptr,
                                    sizeof(index), nullptr),
            status::kIllegalOperation);
  EXPECT_EQ(client->setPropertyData(ids.output, address(selector::kName), 0, nullptr, sizeof(index),
                                    &index),
            status::kIllegalOperation);
  EXPECT_EQ(client->setPropertyData(ids.device, address(selector::kModel), 0, nullptr,
                                    sizeof(index), &index),
            status::kIllegalOperation);
  EXPECT_EQ(client->setPropertyData(777'777, address(selector::kActiveFormatIndex), 0, nullptr,
                                    sizeof(index), &index),
            status::kBadObject);
  EXPECT_EQ(extension.outputSource.activeFormatIndex(), 1);
}

TEST_F(ObjectTreeTest, RepublishedProviderGetsNewIDsAndOldOnesAreGone) {
  ExtensionProvider::stopService(extension.provider);
  EXPECT_EQ(findFake(*client).device, kObjectUnknown);
  EXPECT_EQ(readString(*client, ids.device, selector::kName), std::nullopt);

  extension.publish();
  extension.publish();  // publishing a published provider changes nothing
  EXPECT_EQ(readIDs(*client, kSystemObject, selector::kDevices).size(), 1u);
  FakeIDs again = findFake(*client);
  ASSERT_NE(again.device, kObjectUnknown);
  std::vector<ObjectID> all{ids.device,   ids.sink,   ids.output,
                            again.device, again.sink, again.output};
  std::sort(all.begin(), all.end());
  EXPECT_EQ(std::adjacent_find(all.begin(), all.end()), all.end());
}

TEST_F(ObjectTreeTest, ProviderLearnsOfEachClientOnceAtFirstContact) {
  EXPECT_EQ(extension.providerSource.connects, 1);
  readString(*client, ids.device, selector::kName);
  EXPECT_EQ(extension.providerSource.connects, 1);

  auto second = HardwareClient::connect();
  readIDs(*second, kSystemObject, selector::kDevices);  // the system object is no contact
  EXPECT_EQ(extension.providerSource.connects, 1);
  readString(*second, ids.device, selector::kName);
  EXPECT_EQ(extension.providerSource.connects, 2);

  second->disconnect();
  second->disconnect();
  EXPECT_EQ(extension.providerSource.disconnects, 1);
  EXPECT_EQ(readString(*second, ids.device, selector::kName), std::nullopt);
}

TEST_F(ObjectTreeTest, RefusedClientCannotReachTheProvidersObjects) {
  extension.providerSource.acceptClients = false;
  auto refused = HardwareClient::connect();
  uint32_t size = 0;
  EXPECT_EQ(refused->getPropertyDataSize(ids.device, address(selector::kName), 0, nullptr, &size),
            status::kIllegalOperation);
  extension.providerSource.acceptClients = true;
  EXPECT_EQ(readString(*refused, ids.device, selector::kName), "Fake Camera");
}

}  // namespace
}  // namespace platform::camera::testing
