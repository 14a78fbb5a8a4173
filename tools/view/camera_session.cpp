#include "tools/view/camera_session.h"

namespace quillane::view {
namespace camera = platform::camera;
namespace selector = platform::camera::selector;

CameraSession::CameraSession(std::shared_ptr<camera::HardwareClient> client)
    : client_(std::move(client)) {}

CameraSession::~CameraSession() {
  stop();
}

bool CameraSession::find(const std::string& deviceUID) {
  const camera::PropertyResult devices =
      client_->readProperty(camera::kSystemObject, {selector::kDevices});
  const auto* deviceIDs = devices.valueIf<std::vector<camera::ObjectID>>();
  if (deviceIDs == nullptr) return false;
  for (camera::ObjectID device : *deviceIDs) {
    const camera::PropertyResult uid = client_->readProperty(device, {selector::kDeviceUID});
    const auto* text = uid.valueIf<std::string>();
    if (text == nullptr || *text != deviceUID) continue;
    const camera::PropertyResult streams = client_->readProperty(device, {selector::kStreams});
    const auto* streamIDs = streams.valueIf<std::vector<camera::ObjectID>>();
    for (camera::ObjectID stream : streamIDs ? *streamIDs : std::vector<camera::ObjectID>{}) {
      const camera::PropertyResult direction =
          client_->readProperty(stream, {selector::kDirection});
      const auto* watched = direction.valueIf<uint32_t>();
      const camera::PropertyResult formats = client_->readProperty(stream, {selector::kFormats});
      const auto* offered = formats.valueIf<std::vector<camera::StreamFormatInfo>>();
      if (watched == nullptr || *watched != 1 || offered == nullptr || offered->empty()) continue;
      device_ = device;
      stream_ = stream;
      formats_.clear();
      for (const camera::StreamFormatInfo& format : *offered) {
        formats_.push_back(
            {format.pixelFormat,
             {static_cast<uint32_t>(format.width), static_cast<uint32_t>(format.height)}});
      }
      return true;
    }
  }
  return false;
}

std::optional<platform::media::FourCC> CameraSession::runningPixelFormat() {
  const camera::PropertyResult running =
      client_->readProperty(device_, {selector::kIsRunningSomewhere});
  const camera::PropertyResult active =
      client_->readProperty(stream_, {selector::kActiveFormatIndex});
  const auto* runs = running.valueIf<uint32_t>();
  const auto* index = active.valueIf<uint32_t>();
  if (runs == nullptr || *runs == 0 || index == nullptr || *index >= formats_.size()) {
    return std::nullopt;
  }
  return formats_[*index].pixelFormat;
}

bool CameraSession::start(uint32_t formatIndex, std::function<void()> framesArrived) {
  if (client_->writeProperty(stream_, {selector::kActiveFormatIndex}, formatIndex) !=
          camera::status::kNoError ||
      client_->copyBufferQueue(stream_, std::move(framesArrived), &queue_) !=
          camera::status::kNoError) {
    return false;
  }
  started_ = client_->startStream(device_, stream_) == camera::status::kNoError;
  return started_;
}

platform::media::SampleBufferRef CameraSession::nextFrame() {
  return queue_ ? queue_->dequeue() : nullptr;
}

int32_t CameraSession::framesWaiting() const {
  return queue_ ? queue_->count() : 0;
}

bool CameraSession::stillListed() {
  return client_->readProperty(device_, {selector::kDeviceUID}).valueIf<std::string>() != nullptr;
}

void CameraSession::stop() {
  if (!started_) return;
  started_ = false;
  client_->stopStream(device_, stream_);
}

}  // namespace quillane::view
