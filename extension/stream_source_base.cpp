#include "extension/stream_source_base.h"

#include "extension/video_format.h"

namespace quillane {

using platform::camera::ExtensionClientRef;
using platform::camera::ExtensionStream;
using platform::camera::ExtensionStreamFormat;
using platform::camera::ExtensionStreamProperties;
using platform::camera::PropertyKey;
using platform::camera::PropertySet;
using platform::camera::StreamClockType;
using platform::camera::StreamDirection;
using platform::camera::Uuid;

StreamSourceBase::StreamSourceBase(DeviceSource& device, std::string name, Uuid id,
                                   StreamDirection direction)
    : device_(device),
      stream_(ExtensionStream::create(std::move(name), id, direction, StreamClockType::HostTime,
                                      *this)),
      frameDuration_(VideoFormat::frameDuration) {}

std::vector<ExtensionStreamFormat> StreamSourceBase::formats() {
  std::vector<ExtensionStreamFormat> list;
  for (const VideoFormat& format : VideoFormat::all()) {
    list.push_back(ExtensionStreamFormat{
        format.formatDescription, VideoFormat::frameDuration, VideoFormat::frameDuration, {}});
  }
  return list;
}

PropertySet StreamSourceBase::availableProperties() {
  return {PropertyKey::StreamActiveFormatIndex, PropertyKey::StreamFrameDuration};
}

ExtensionStreamProperties StreamSourceBase::streamProperties(const PropertySet& keys) {
  ExtensionStreamProperties properties;
  if (keys.contains(PropertyKey::StreamActiveFormatIndex)) {
    properties.activeFormatIndex = activeFormatIndex();
  }
  if (keys.contains(PropertyKey::StreamFrameDuration)) {
    platform::base::MutexLock guard(frameDurationMutex_);
    properties.frameDuration = frameDuration_;
  }
  return properties;
}

void StreamSourceBase::setStreamProperties(const ExtensionStreamProperties& properties) {
  const auto count = static_cast<int64_t>(VideoFormat::all().size());
  if (auto index = properties.activeFormatIndex; index && *index >= 0 && *index < count) {
    activeFormatIndex_.store(*index, std::memory_order_relaxed);
  }
  if (auto duration = properties.frameDuration;
      duration && duration->isValid() && duration->seconds() > 0) {
    platform::base::MutexLock guard(frameDurationMutex_);
    frameDuration_ = *duration;
  }
}

bool StreamSourceBase::authorizedToStartStream(const ExtensionClientRef&) {
  return true;
}

void StreamSourceBase::startStream() {
  setStreaming(true);
}

void StreamSourceBase::stopStream() {
  setStreaming(false);
}

}  // namespace quillane
