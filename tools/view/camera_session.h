#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/camera/hardware.h"
#include "platform/media/simple_queue.h"
#include "tools/arguments.h"

namespace quillane::view {

// One format a camera's output stream offers.
struct OfferedFormat {
  platform::media::FourCC pixelFormat;
  tools::FrameSize size;
  bool operator==(const OfferedFormat&) const = default;
};

// The viewer's hold on a camera's output stream through its own client connection, as any
// watching application has it: finds the device by its UID, asks for a format, starts the stream
// and takes the frames the host queues. Runs on the viewer's watch queue; each call blocks until
// the host answers.
class CameraSession {
 public:
  explicit CameraSession(std::shared_ptr<platform::camera::HardwareClient> client);
  ~CameraSession();  // stops the stream
  CameraSession(const CameraSession&) = delete;
  CameraSession& operator=(const CameraSession&) = delete;

  // Looks for the device with this UID and an output stream of it that lists its formats.
  bool find(const std::string& deviceUID);
  // The formats the found stream offers, in format-index order.
  const std::vector<OfferedFormat>& offeredFormats() const { return formats_; }
  // The pixel format the camera streams in while it streams to someone; nullopt otherwise.
  std::optional<platform::media::FourCC> runningPixelFormat();

  // Asks for the offered format at `formatIndex` and starts watching. From then on the host queues
  // frames and calls `framesArrived` on its own thread after each (it must not block). False
  // when the host refused.
  bool start(uint32_t formatIndex, std::function<void()> framesArrived);
  // The oldest queued frame; nullptr when none waits.
  platform::media::SampleBufferRef nextFrame();
  int32_t framesWaiting() const;
  // Whether the found device is still listed: a camera that went away and came back is another.
  bool stillListed();
  // Stops watching; after it returns, framesArrived is not called again.
  void stop();

 private:
  std::shared_ptr<platform::camera::HardwareClient> client_;
  platform::camera::ObjectID device_ = platform::camera::kObjectUnknown;
  platform::camera::ObjectID stream_ = platform::camera::kObjectUnknown;
  std::vector<OfferedFormat> formats_;
  platform::media::SimpleQueueRef queue_;
  bool started_ = false;
};

}  // namespace quillane::view
