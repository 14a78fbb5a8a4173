#include "tests/integration/camera_watcher.h"

#include <cstdlib>
#include <cstring>

#include "platform/media/pixel_buffer.h"

namespace quillane::integration {

namespace camera = platform::camera;

namespace {

template <typename Value>
std::optional<Value> read(camera::HardwareClient& client, camera::ObjectID object,
                          uint32_t selector) {
  const camera::PropertyResult result = client.readProperty(object, {selector});
  const Value* value = result.valueIf<Value>();
  return value != nullptr ? std::optional(*value) : std::nullopt;
}

}  // namespace

CameraIDs findCamera(camera::HardwareClient& client) {
  CameraIDs ids;
  using IDs = std::vector<camera::ObjectID>;
  for (camera::ObjectID device :
       read<IDs>(client, camera::kSystemObject, camera::selector::kDevices).value_or(IDs{})) {
    if (read<std::string>(client, device, camera::selector::kDeviceUID) != kCameraUID) continue;
    ids.device = device;
    for (camera::ObjectID stream :
         read<IDs>(client, device, camera::selector::kStreams).value_or(IDs{})) {
      const bool sink = read<uint32_t>(client, stream, camera::selector::kDirection) == 0u;
      (sink ? ids.sink : ids.output) = stream;
    }
  }
  return ids;
}

CameraWatcher::CameraWatcher(camera::CameraHost& host, uint32_t formatIndex)
    : client_(host.connect()), ids_(findCamera(*client_)) {
  if (ids_.device == 0) return;
  client_->writeProperty(ids_.output, {camera::selector::kActiveFormatIndex}, formatIndex);
  client_->copyBufferQueue(
      ids_.output,
      [this] {
        std::lock_guard lock(mutex_);
        arrived_.notify_all();
      },
      &queue_);
  started_ = queue_ && client_->startStream(ids_.device, ids_.output) == 0;
}

CameraWatcher::~CameraWatcher() {
  client_->disconnect();
}

platform::media::SampleBufferRef CameraWatcher::nextFrame(std::chrono::milliseconds timeout) {
  if (!queue_) return nullptr;
  platform::media::SampleBufferRef frame;
  std::unique_lock lock(mutex_);
  arrived_.wait_for(lock, timeout, [&] { return (frame = queue_->dequeue()) != nullptr; });
  return frame;
}

void CameraWatcher::drain() {
  while (queue_ && queue_->dequeue()) {
  }
}

Bgra centrePixel(const platform::media::SampleBufferRef& frame) {
  platform::media::PixelBuffer& picture = *frame->imageBuffer();
  platform::media::BaseAddressLock pixels(picture,
                                          platform::media::PixelBuffer::LockFlags::ReadOnly);
  Bgra pixel{};
  std::memcpy(
      pixel.data(),
      pixels.data() + (picture.height() / 2) * picture.bytesPerRow() + (picture.width() / 2) * 4,
      4);
  return pixel;
}

bool near(const Bgra& pixel, const Bgra& expected) {
  for (int c = 0; c < 4; ++c) {
    if (std::abs(pixel[c] - expected[c]) > 2) return false;
  }
  return true;
}

bool wholly(const platform::media::SampleBufferRef& frame, const Bgra& colour) {
  platform::media::PixelBuffer& picture = *frame->imageBuffer();
  platform::media::BaseAddressLock pixels(picture,
                                          platform::media::PixelBuffer::LockFlags::ReadOnly);
  for (int y = 0; y < 5; ++y) {
    for (int x = 0; x < 5; ++x) {
      Bgra pixel{};
      std::memcpy(pixel.data(),
                  pixels.data() + (picture.height() * (2 * y + 1) / 10) * picture.bytesPerRow() +
                      (picture.width() * (2 * x + 1) / 10) * 4,
                  4);
      if (!near(pixel, colour)) return false;
    }
  }
  return true;
}

}  // namespace quillane::integration
