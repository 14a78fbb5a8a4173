#include "platform/camera/extension_objects.h"

namespace platform::camera {
std::shared_ptr<ExtensionStream> ExtensionStream::create(std::string localizedName, Uuid streamID,
                                                         StreamDirection direction, StreamClockType,
                                                         ExtensionStreamSource& source) {
  return std::make_shared<ExtensionStream>(std::move(localizedName), streamID, direction, source);
}

ExtensionStream::ExtensionStream(std::string localizedName, Uuid streamID,
                                 StreamDirection direction, ExtensionStreamSource& source)
    : localizedName_(std::move(localizedName)),
      streamID_(streamID),
      direction_(direction),
      source_(source) {}

void ExtensionStream::sendSampleBuffer(media::SampleBufferRef sampleBuffer,
                                       StreamDiscontinuityFlags, uint64_t hostTimeInNanoseconds) {
  if (!sampleBuffer || direction_ != StreamDirection::Source) return;
  if (auto bound = endpoint()) bound->send(std::move(sampleBuffer), hostTimeInNanoseconds);
}

void ExtensionStream::consumeSampleBuffer(const ExtensionClientRef& client,
                                          ConsumeCompletion completion) {
  auto bound = endpoint();
  if (!bound) {
    completion(nullptr, 0, kDiscontinuityNone, false,
               hostError(host_error::kNotPublished, "the stream is not published"));
    return;
  }
  bound->consume(client, std::move(completion));
}

void ExtensionStream::notifyScheduledOutputChanged(const ExtensionScheduledOutput& output) {
  if (auto bound = endpoint()) bound->notifyScheduledOutputChanged(output);
}

std::vector<ExtensionClientRef> ExtensionStream::streamingClients() const {
  auto bound = endpoint();
  return bound ? bound->streamingClients() : std::vector<ExtensionClientRef>{};
}

void ExtensionStream::bindEndpoint(std::shared_ptr<StreamEndpoint> endpoint) {
  base::MutexLock lock(endpointMutex_);
  endpoint_ = std::move(endpoint);
}

std::shared_ptr<StreamEndpoint> ExtensionStream::endpoint() const {
  base::MutexLock lock(endpointMutex_);
  return endpoint_;
}

std::shared_ptr<ExtensionDevice> ExtensionDevice::create(std::string localizedName, Uuid deviceID,
                                                         std::optional<std::string> legacyDeviceID,
                                                         ExtensionDeviceSource& source) {
  return std::make_shared<ExtensionDevice>(std::move(localizedName), deviceID,
                                           std::move(legacyDeviceID), source);
}

ExtensionDevice::ExtensionDevice(std::string localizedName, Uuid deviceID,
                                 std::optional<std::string> legacyDeviceID,
                                 ExtensionDeviceSource& source)
    : localizedName_(std::move(localizedName)),
      deviceID_(deviceID),
      legacyDeviceID_(std::move(legacyDeviceID)),
      source_(source) {}

std::optional<ExtensionError> ExtensionDevice::addStream(std::shared_ptr<ExtensionStream> stream) {
  if (!stream) return hostError(host_error::kInvalidArgument, "no stream given");
  if (!stream->claim())
    return hostError(host_error::kAlreadyAdded, "the stream was already added to a device");
  base::MutexLock lock(mutex_);
  streams_.push_back(std::move(stream));
  return std::nullopt;
}

std::vector<std::shared_ptr<ExtensionStream>> ExtensionDevice::streams() const {
  base::MutexLock lock(mutex_);
  return streams_;
}

std::shared_ptr<ExtensionProvider> ExtensionProvider::create(ExtensionProviderSource& source) {
  return std::make_shared<ExtensionProvider>(source);
}

std::optional<ExtensionError> ExtensionProvider::addDevice(std::shared_ptr<ExtensionDevice> device) {
  if (!device) return hostError(host_error::kInvalidArgument, "no device given");
  if (!device->claim())
    return hostError(host_error::kAlreadyAdded, "the device was already added to a provider");
  base::MutexLock lock(mutex_);
  devices_.push_back(std::move(device));
  return std::nullopt;
}

std::vector<std::shared_ptr<ExtensionDevice>> ExtensionProvider::devices() const {
  base::MutexLock lock(mutex_);
  return devices_;
}

}  // namespace platform::camera
