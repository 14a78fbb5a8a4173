#pragma once

#include <array>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "formats/camera_identity.h"
#include "platform/camera/camera_host.h"
#include "platform/media/sample_buffer.h"
#include "platform/media/simple_queue.h"

namespace quillane::integration {

// The camera's device UID, as the control tool looks for it.
inline constexpr const char* kCameraUID = camera_identity::kDeviceUID;

// The object IDs of the camera as one client sees it; device 0 when it is not there.
struct CameraIDs {
  platform::camera::ObjectID device = 0;
  platform::camera::ObjectID output = 0;
  platform::camera::ObjectID sink = 0;
};
CameraIDs findCamera(platform::camera::HardwareClient& client);

// An application watching the camera through the platform's client interface, in the test's own
// process: it asks for one of the offered formats and keeps what arrives. Test thread.
class CameraWatcher {
 public:
  // Starts watching at the format with this index; check started().
  CameraWatcher(platform::camera::CameraHost& host, uint32_t formatIndex);
  ~CameraWatcher();

  bool started() const { return started_; }
  // The next frame to arrive, waiting up to `timeout`.
  platform::media::SampleBufferRef nextFrame(
      std::chrono::milliseconds timeout = std::chrono::seconds(5));
  // Drops what arrived so far.
  void drain();

 private:
  std::shared_ptr<platform::camera::HardwareClient> client_;
  CameraIDs ids_;
  platform::media::SimpleQueueRef queue_;
  bool started_ = false;
  std::mutex mutex_;
  std::condition_variable arrived_;
};

using Bgra = std::array<uint8_t, 4>;
// The pixel at the picture's centre.
Bgra centrePixel(const platform::media::SampleBufferRef& frame);
// Whether the pixels differ by at most 2 in each channel.
bool near(const Bgra& pixel, const Bgra& expected);
// Whether each point of a 5 × 5 grid over the frame has the colour: a placeholder frame or a
// picture torn between two producers has not.
bool wholly(const platform::media::SampleBufferRef& frame, const Bgra& colour);

}  // namespace quillane::integration
