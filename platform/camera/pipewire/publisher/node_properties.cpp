#include "platform/camera/pipewire/publisher/node_properties.h"

#include <pipewire/keys.h>

#include <algorithm>
#include <cctype>
#include <string>

#include "platform/camera/pipewire/shared/camera_node_keys.h"

namespace platform::camera::pipewire {
namespace {

void setIf(Properties& properties, const char* key, const std::optional<std::string>& value) {
  if (value) properties[key] = *value;
}

void setIf(Properties& properties, const char* key, const std::optional<int64_t>& value) {
  if (value) properties[key] = std::to_string(*value);
}

std::string sizesOf(ExtensionStreamSource& source) {
  std::string sizes;
  for (const ExtensionStreamFormat& format : source.formats()) {
    if (!format.formatDescription) continue;
    if (!sizes.empty()) sizes += ",";
    sizes += std::to_string(format.formatDescription->width()) + "x" +
             std::to_string(format.formatDescription->height());
  }
  return sizes;
}

}  // namespace

Properties publishedProperties(const ExtensionProvider& provider, const ExtensionDevice& device,
                               const ExtensionStream& stream, int index) {
  Properties properties = sinkCounts(stream);
  // A node name that stays the same across restarts, so applications remember the camera.
  std::string name = "camera-" + stream.streamID().toString();
  std::transform(name.begin(), name.end(), name.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  properties[PW_KEY_NODE_NAME] = name;

  properties[keys::kDeviceUID] = device.uid();
  properties[keys::kDeviceName] = device.localizedName();
  const ExtensionDeviceProperties deviceAnswer = device.source().deviceProperties(
      {PropertyKey::DeviceModel, PropertyKey::DeviceTransportType});
  setIf(properties, keys::kDeviceModel, deviceAnswer.model);
  if (deviceAnswer.transportType) {
    properties[keys::kDeviceTransportType] = std::to_string(*deviceAnswer.transportType);
  }
  const ExtensionProviderProperties providerAnswer = provider.source().providerProperties(
      {PropertyKey::ProviderName, PropertyKey::ProviderManufacturer});
  setIf(properties, keys::kProviderName, providerAnswer.name);
  setIf(properties, keys::kProviderManufacturer, providerAnswer.manufacturer);

  properties[keys::kStreamName] = stream.localizedName();
  properties[keys::kStreamDirection] =
      std::to_string(stream.direction() == StreamDirection::Sink ? 0 : 1);
  properties[keys::kStreamIndex] = std::to_string(index);
  if (stream.direction() == StreamDirection::Source) {
    properties[keys::kStreamFormats] = sizesOf(stream.source());
  }
  const std::optional<media::MediaTime> duration =
      stream.source().streamProperties({PropertyKey::StreamFrameDuration}).frameDuration;
  if (duration && duration->valid) {
    properties[keys::kStreamFrameDuration] =
        std::to_string(duration->value) + "/" + std::to_string(duration->timescale);
  }
  return properties;
}

Properties sinkCounts(const ExtensionStream& stream) {
  Properties properties;
  if (stream.direction() != StreamDirection::Sink) return properties;
  const ExtensionStreamProperties answer = stream.source().streamProperties(
      {PropertyKey::StreamSinkBufferQueueSize, PropertyKey::StreamSinkBuffersRequiredForStartup,
       PropertyKey::StreamSinkBufferUnderrunCount, PropertyKey::StreamSinkEndOfData});
  setIf(properties, keys::kSinkQueueSize, answer.sinkBufferQueueSize);
  setIf(properties, keys::kSinkBuffersRequiredForStartup, answer.sinkBuffersRequiredForStartup);
  setIf(properties, keys::kSinkUnderrunCount, answer.sinkBufferUnderrunCount);
  setIf(properties, keys::kSinkEndOfData, answer.sinkEndOfData);
  return properties;
}

}  // namespace platform::camera::pipewire
