#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/camera/camera_host.h"
#include "platform/camera/hardware.h"
#include "platform/media/format_description.h"
#include "platform/media/sample_buffer.h"
#include "tests/platform/camera/fake_extension.h"

// What the camera host tests share: typed reads as an application makes them, pictures to send,
// a recorder of consume completions, and the harness that runs one host implementation.
namespace platform::camera::testing {

inline std::vector<ObjectID> readIDs(HardwareClient& client, ObjectID object, uint32_t selector) {
  PropertyResult read = client.readProperty(object, {selector});
  auto* ids = std::get_if<std::vector<ObjectID>>(&read.value);
  return read.status == status::kNoError && ids != nullptr ? *ids : std::vector<ObjectID>{};
}

inline std::optional<uint32_t> readUInt32(HardwareClient& client, ObjectID object,
                                          uint32_t selector) {
  PropertyResult read = client.readProperty(object, {selector});
  auto* value = std::get_if<uint32_t>(&read.value);
  if (read.status != status::kNoError || value == nullptr) return std::nullopt;
  return *value;
}

inline std::optional<std::string> readString(HardwareClient& client, ObjectID object,
                                             uint32_t selector) {
  PropertyResult read = client.readProperty(object, {selector});
  auto* text = std::get_if<std::string>(&read.value);
  if (read.status != status::kNoError || text == nullptr) return std::nullopt;
  return *text;
}

// The object IDs of a published fake extension, found by device UID the way the control tool
// finds them.
struct FakeIDs {
  ObjectID device = kObjectUnknown;
  ObjectID sink = kObjectUnknown;
  ObjectID output = kObjectUnknown;
};

inline FakeIDs findFake(HardwareClient& client, const std::string& uid = fakeDeviceUID()) {
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

// A BGRA picture of one of the fake's formats filled with `value` in every byte, in a sample
// buffer as a producer would enqueue it, with its presentation time and sequence number.
inline media::SampleBufferRef pictureSample(uint8_t value, int width = 640, int height = 480,
                                            uint64_t ptsNanos = 1, uint64_t sequence = 0) {
  auto picture = media::PixelBuffer::create(width, height, media::kPixelFormat32BGRA);
  {
    media::BaseAddressLock pixels(*picture, media::PixelBuffer::LockFlags::ReadWrite);
    std::fill_n(pixels.data(), picture->dataSize(), value);
  }
  auto description = media::FormatDescription::createForImageBuffer(*picture);
  return media::SampleBuffer::createForImageBuffer(
      std::move(picture), true, std::move(description),
      {media::MediaTime::make(1, 30), media::MediaTime::fromNanos(ptsNanos),
       media::MediaTime::invalid()},
      sequence);
}

// The byte every pixel of the sample's picture holds; nullopt for a picture that is not of one
// uniform value.
inline std::optional<uint8_t> uniformByte(const media::SampleBufferRef& sample) {
  if (!sample || !sample->imageBuffer()) return std::nullopt;
  media::PixelBuffer& picture = *sample->imageBuffer();
  media::BaseAddressLock pixels(picture, media::PixelBuffer::LockFlags::ReadOnly);
  const uint8_t first = pixels.data()[0];
  for (int y = 0; y < picture.height(); ++y) {
    const uint8_t* row = pixels.data() + y * picture.bytesPerRow();
    for (int x = 0; x < picture.width() * 4; ++x) {
      if (row[x] != first) return std::nullopt;
    }
  }
  return first;
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
  ConsumeCompletion completion() {
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
  size_t count() const {
    std::lock_guard lock(mutex_);
    return results_.size();
  }

 private:
  mutable std::mutex mutex_;
  std::vector<ConsumeResult> results_;
};

// Expects exactly `count` completions, each a host error `code` without a buffer.
inline void expectFailures(const ConsumeRecorder& recorder, size_t count, int64_t code) {
  std::vector<ConsumeResult> all = recorder.results();
  ASSERT_EQ(all.size(), count);
  for (const ConsumeResult& result : all) {
    ASSERT_TRUE(result.error);
    EXPECT_EQ(result.error->code, code);
    EXPECT_EQ(result.error->domain, kHostErrorDomain);
    EXPECT_FALSE(result.buffer);
  }
}

// One camera host implementation as the tests drive it.
class HostHarness {
 public:
  virtual ~HostHarness() = default;
  virtual CameraHost& host() = 0;
  // The host's clock, and lets `nanos` pass on it and what became due run.
  virtual uint64_t nowNanos() = 0;
  virtual void elapse(uint64_t nanos) = 0;
  // Waits until `condition` holds: at once for a host that answers synchronously, within a
  // deadline for one that answers across processes. False when it never did.
  virtual bool eventually(const std::function<bool()>& condition) = 0;
  // Waits until what the host has set going has run, so that something that should not happen
  // would have happened by now.
  virtual void settle() = 0;
};

// Polls `condition` every millisecond for up to `timeout`.
inline bool pollFor(const std::function<bool()>& condition,
                    std::chrono::milliseconds timeout = std::chrono::seconds(5)) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

// The harness of the implementation a test program is linked with.
std::unique_ptr<HostHarness> makeHostHarness();

}  // namespace platform::camera::testing
