#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/base/mutex.h"
#include "platform/camera/extension_objects.h"
#include "platform/camera/extension_sources.h"
#include "platform/camera/extension_types.h"
#include "platform/media/media_time.h"

namespace quillane {

class DeviceSource;

// What both streams of the device share: the platform stream, the three offered formats, the
// active format index and frame duration clients choose, and whether the stream runs. The host
// calls every method on its own threads; the frame queue reads activeFormatIndex() and
// isStreaming(), so those fields are atomics.
class StreamSourceBase : public platform::camera::ExtensionStreamSource {
 public:
  StreamSourceBase(DeviceSource& device, std::string name, platform::camera::Uuid id,
                   platform::camera::StreamDirection direction);
  StreamSourceBase(const StreamSourceBase&) = delete;
  StreamSourceBase& operator=(const StreamSourceBase&) = delete;

  // Made by the constructor; never null.
  const std::shared_ptr<platform::camera::ExtensionStream>& stream() const { return stream_; }
  int64_t activeFormatIndex() const { return activeFormatIndex_.load(std::memory_order_relaxed); }
  bool isStreaming() const { return streaming_.load(std::memory_order_relaxed); }

  std::vector<platform::camera::ExtensionStreamFormat> formats() override;
  platform::camera::PropertySet availableProperties() override;
  platform::camera::ExtensionStreamProperties streamProperties(
      const platform::camera::PropertySet& keys) override;
  // Takes an index inside the format table and a valid positive duration; ignores the rest.
  void setStreamProperties(const platform::camera::ExtensionStreamProperties& properties) override;
  // Every client may start the stream.
  bool authorizedToStartStream(const platform::camera::ExtensionClientRef& client) override;
  void startStream() override;
  void stopStream() override;

 protected:
  void setStreaming(bool streaming) { streaming_.store(streaming, std::memory_order_relaxed); }

  // The device owns its stream sources and outlives them.
  DeviceSource& device_;

 private:
  std::shared_ptr<platform::camera::ExtensionStream> stream_;
  std::atomic<int64_t> activeFormatIndex_{0};
  platform::base::Mutex frameDurationMutex_;
  platform::media::MediaTime frameDuration_ QLN_GUARDED_BY(frameDurationMutex_);
  std::atomic<bool> streaming_{false};
};

}  // namespace quillane
