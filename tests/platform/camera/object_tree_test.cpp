#include <gtest/gtest.h>

#include <algorithm>

#include "tests/platform/camera/host_test_support.h"

namespace platform::camera::testing {
namespace {

using ObjectTreeTest = PublishedFakeTest;

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
  ASSERT_EQ(sizeOf(ids.output, selector::kFormats, &size), status::kNoError);
  ASSERT_EQ(size, 2 * sizeof(StreamFormatInfo));
  StreamFormatInfo formats[2] = {};
  ASSERT_EQ(read(ids.output, selector::kFormats, size, formats), status::kNoError);
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
  EXPECT_NE(findFake(*client, FakeExtension::kDeviceID).device, kObjectUnknown);
}

TEST_F(ObjectTreeTest, ReadsKeepThePlatformContract) {
  uint32_t size = 0;
  ASSERT_EQ(sizeOf(ids.device, selector::kDeviceUID, &size), status::kNoError);
  EXPECT_EQ(size, sizeof(StringRef));

  // A buffer for one of two IDs gets the first one only.
  ObjectID first = kObjectUnknown;
  ASSERT_EQ(read(ids.device, selector::kStreams, sizeof(first), &first), status::kNoError);
  EXPECT_EQ(first, ids.sink);
  EXPECT_EQ(used, sizeof(first));

  uint16_t tooSmall = 0;
  EXPECT_EQ(read(ids.device, selector::kIsRunningSomewhere, sizeof(tooSmall), &tooSmall),
            status::kBadPropertySize);
  EXPECT_EQ(read(ids.device, selector::kDeviceUID, 4, &first), status::kBadPropertySize);
  EXPECT_EQ(read(ids.device, selector::kStreams, 8, nullptr), status::kIllegalOperation);
  EXPECT_EQ(readUInt32(*client, kObjectUnknown, selector::kDirection), std::nullopt);
  EXPECT_EQ(sizeOf(ids.device, selector::kStreams, nullptr), status::kIllegalOperation);
  EXPECT_EQ(sizeOf(999'999, selector::kName, &size), status::kBadObject);
  EXPECT_EQ(sizeOf(ids.device, fourCC("zzzz"), &size), status::kUnknownProperty);
  EXPECT_EQ(sizeOf(ids.sink, selector::kModel, &size), status::kUnknownProperty);
}

TEST_F(ObjectTreeTest, ListThatShrankBetweenSizeAndReadLeavesTheCallersFillers) {
  FakeExtension other(std::nullopt);
  other.publish();
  uint32_t size = 0;
  ASSERT_EQ(sizeOf(kSystemObject, selector::kDevices, &size), status::kNoError);
  ASSERT_EQ(size, 2 * sizeof(ObjectID));
  ExtensionProvider::stopService(other.provider);

  std::vector<ObjectID> devices(2, kObjectUnknown);
  ASSERT_EQ(read(kSystemObject, selector::kDevices, size, devices.data()), status::kNoError);
  EXPECT_EQ(devices, (std::vector<ObjectID>{ids.device, kObjectUnknown}));
  EXPECT_EQ(used, sizeof(ObjectID));
}

TEST_F(ObjectTreeTest, SettablePropertiesReachTheStreamSourceAndOthersAreRefused) {
  uint32_t index = 1;
  EXPECT_EQ(write(ids.output, selector::kActiveFormatIndex, sizeof(index), &index),
            status::kNoError);
  EXPECT_EQ(extension.outputSource.activeFormatIndex(), 1);
  EXPECT_EQ(readUInt32(*client, ids.output, selector::kActiveFormatIndex), 1u);

  FrameDurationInfo duration{1, 60, 1};
  EXPECT_EQ(write(ids.sink, selector::kFrameDuration, sizeof(duration), &duration),
            status::kNoError);
  FrameDurationInfo readBack{};
  ASSERT_EQ(read(ids.sink, selector::kFrameDuration, sizeof(readBack), &readBack),
            status::kNoError);
  EXPECT_EQ(readBack.value, 1);
  EXPECT_EQ(readBack.timescale, 60);
  EXPECT_EQ(readBack.valid, 1u);

  struct Refused {
    ObjectID object;
    uint32_t selector;
    uint32_t size;
    const void* data;
    Status expected;
  };
  uint32_t zero = 0;
  for (const Refused& refused : {
           Refused{ids.output, selector::kActiveFormatIndex, 2, &zero, status::kBadPropertySize},
           Refused{ids.output, selector::kActiveFormatIndex, 4, nullptr, status::kIllegalOperation},
           Refused{ids.output, selector::kName, 4, &zero, status::kIllegalOperation},
           Refused{ids.device, selector::kModel, 4, &zero, status::kIllegalOperation},
           Refused{777'777, selector::kActiveFormatIndex, 4, &zero, status::kBadObject},
       }) {
    EXPECT_EQ(write(refused.object, refused.selector, refused.size, refused.data), refused.expected)
        << refused.object << " " << refused.selector;
  }
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
