#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/camera/hardware.h"
#include "platform/camera/host_runtime.h"
#include "platform/dispatch/clock.h"
#include "tests/platform/camera/fake_extension.h"

// What the host's tests share: a ManualClock as host clock, reads of the object tree as an
// application makes them, and a recorder of consume completions.
namespace platform::camera::testing {

inline PropertyAddress address(uint32_t selector) {
  return PropertyAddress{selector};
}

inline std::vector<ObjectID> readIDs(HardwareClient& client, ObjectID object, uint32_t selector) {
  uint32_t size = 0;
  if (client.getPropertyDataSize(object, address(selector), 0, nullptr, &size) != 0) return {};
  std::vector<ObjectID> ids(size / sizeof(ObjectID), kObjectUnknown);
  uint32_t used = 0;
  if (client.getPropertyData(object, address(selector), 0, nullptr,
                             static_cast<uint32_t>(ids.size() * sizeof(ObjectID)), &used,
                             ids.data()) != 0) {
    return {};
  }
  return ids;
}

inline std::optional<uint32_t> readUInt32(HardwareClient& client, ObjectID object,
                                          uint32_t selector) {
  uint32_t value = 0;
  uint32_t used = 0;
  if (client.getPropertyData(object, address(selector), 0, nullptr, sizeof(value), &used, &value) !=
      0) {
    return std::nullopt;
  }
  return value;
}

inline std::optional<std::string> readString(HardwareClient& client, ObjectID object,
                                             uint32_t selector) {
  StringRef string = nullptr;
  uint32_t used = 0;
  if (client.getPropertyData(object, address(selector), 0, nullptr, sizeof(string), &used,
                             &string) != 0 ||
      string == nullptr) {
    return std::nullopt;
  }
  std::string text = stringText(string);
  releaseString(string);
  return text;
}

// The object IDs of a published fake extension, found by device UID the way the control tool
// finds them.
struct FakeIDs {
  ObjectID device = kObjectUnknown;
  ObjectID sink = kObjectUnknown;
  ObjectID output = kObjectUnknown;
};

inline FakeIDs findFake(HardwareClient& client, const std::string& uid = kFakeDeviceUID) {
  FakeIDs ids;
  for (ObjectID device : readIDs(client, kSystemObject, selector::kDevices)) {
    if (readString(client, device, selector::kDeviceUID) != uid) continue;
    ids.device = device;
    for (ObjectID stream : readIDs(client, device, selector::kStreams)) {
      (readUInt32(client, stream, selector::kDirection) == 0u ? ids.sink : ids.output) = stream;
    }
  }
  return ids;
}

inline media::SampleBufferRef makeSampleBuffer() {
  return std::make_shared<media::SampleBuffer>(nullptr, true, nullptr, media::SampleTimingInfo{});
}

struct ConsumeResult {
  media::SampleBufferRef buffer;
  uint64_t sequenceNumber = 0;
  bool hasMore = false;
  std::optional<ExtensionError> error;
};

// Collects consume completions; they arrive on a host thread (mutex_).
class ConsumeRecorder {
 public:
  ExtensionStream::ConsumeCompletion completion() {
    return [this](media::SampleBufferRef buffer, uint64_t sequenceNumber, StreamDiscontinuityFlags,
                  bool hasMore, std::optional<ExtensionError> error) {
      std::lock_guard lock(mutex_);
      results_.push_back(ConsumeResult{std::move(buffer), sequenceNumber, hasMore, error});
    };
  }
  std::vector<ConsumeResult> results() const {
    std::lock_guard lock(mutex_);
    return results_;
  }
  // Expects exactly `count` completions, each a host error `code` without a buffer.
  void expectFailures(size_t count, int64_t code) const {
    std::vector<ConsumeResult> all = results();
    ASSERT_EQ(all.size(), count);
    for (const ConsumeResult& result : all) {
      ASSERT_TRUE(result.error);
      EXPECT_EQ(result.error->code, code);
      EXPECT_EQ(result.error->domain, kHostErrorDomain);
      EXPECT_FALSE(result.buffer);
    }
  }

 private:
  mutable std::mutex mutex_;
  std::vector<ConsumeResult> results_;
};

// Every test runs on a fresh ManualClock, so no consume times out unless the test says so.
class HostTest : public ::testing::Test {
 protected:
  void SetUp() override { setHostClock(clock); }
  // Waits until what the host has queued so far (callbacks, due timeouts, completions) has run.
  static void flush() { HostRuntime::processRuntime().flush(); }

  std::shared_ptr<dispatch::ManualClock> clock = std::make_shared<dispatch::ManualClock>();
};

// A published fake extension and one client that found it. A test configures the fake's sources
// in its constructor, before SetUp publishes.
class PublishedFakeTest : public HostTest {
 protected:
  void SetUp() override {
    HostTest::SetUp();
    extension.publish();
    ids = findFake(*client);
  }

  // Property calls of `client`; reads leave the bytes used in `used`.
  Status sizeOf(ObjectID object, uint32_t selector, uint32_t* size) {
    return client->getPropertyDataSize(object, address(selector), 0, nullptr, size);
  }
  Status read(ObjectID object, uint32_t selector, uint32_t size, void* data) {
    return client->getPropertyData(object, address(selector), 0, nullptr, size, &used, data);
  }
  Status write(ObjectID object, uint32_t selector, uint32_t size, const void* data) {
    return client->setPropertyData(object, address(selector), 0, nullptr, size, data);
  }

  FakeExtension extension;
  std::shared_ptr<HardwareClient> client = HardwareClient::connect();
  FakeIDs ids;
  uint32_t used = 0;
};

}  // namespace platform::camera::testing
