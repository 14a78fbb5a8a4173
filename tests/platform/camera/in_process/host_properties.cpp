#include "tests/platform/camera/in_process/host_properties.h"

#include <algorithm>
#include <limits>
#include <string>

namespace platform::camera::in_process {
namespace {

bool isDeviceSelector(uint32_t selector) {
  switch (selector) {
    case selector::kStreams:
    case selector::kDeviceUID:
    case selector::kName:
    case selector::kModel:
    case selector::kTransportType:
    case selector::kManufacturer:
    case selector::kProviderName:
    case selector::kIsRunningSomewhere:
      return true;
    default:
      return false;
  }
}

bool isStreamSelector(uint32_t selector) {
  switch (selector) {
    case selector::kName:
    case selector::kDirection:
    case selector::kFormats:
    case selector::kActiveFormatIndex:
    case selector::kFrameDuration:
    case selector::kSinkBufferQueueSize:
    case selector::kSinkBuffersRequiredForStartup:
    case selector::kSinkBufferUnderrunCount:
    case selector::kSinkEndOfData:
      return true;
    default:
      return false;
  }
}

int32_t clampToInt32(int64_t v) {
  if (v > std::numeric_limits<int32_t>::max()) return std::numeric_limits<int32_t>::max();
  if (v < std::numeric_limits<int32_t>::min()) return std::numeric_limits<int32_t>::min();
  return static_cast<int32_t>(v);
}

std::vector<StreamFormatInfo> formatInfos(ExtensionStreamSource& source) {
  std::vector<StreamFormatInfo> infos;
  for (const ExtensionStreamFormat& format : source.formats()) {
    if (!format.formatDescription) continue;
    infos.push_back(StreamFormatInfo{
        format.formatDescription->mediaSubType(), format.formatDescription->width(),
        format.formatDescription->height(), clampToInt32(format.minFrameDuration.value),
        format.minFrameDuration.timescale});
  }
  return infos;
}

PropertyResult textOrUnknown(const std::optional<std::string>& text) {
  return text ? PropertyResult::of(*text) : PropertyResult::failed(status::kUnknownProperty);
}

PropertyResult readDeviceModelOrTransport(ExtensionDeviceSource& source, uint32_t selector) {
  if (selector == selector::kModel) {
    return textOrUnknown(source.deviceProperties({PropertyKey::DeviceModel}).model);
  }
  ExtensionDeviceProperties properties =
      source.deviceProperties({PropertyKey::DeviceTransportType});
  if (!properties.transportType) return PropertyResult::failed(status::kUnknownProperty);
  return PropertyResult::of(*properties.transportType);
}

PropertyResult readProviderNameOrManufacturer(ExtensionProviderSource& source, uint32_t selector) {
  if (selector == selector::kProviderName) {
    return textOrUnknown(source.providerProperties({PropertyKey::ProviderName}).name);
  }
  return textOrUnknown(source.providerProperties({PropertyKey::ProviderManufacturer}).manufacturer);
}

// A sink count as the tree carries it: a uint32, clamped.
PropertyResult readSinkCount(ExtensionStreamSource& source, uint32_t selector) {
  std::optional<int64_t> count;
  switch (selector) {
    case selector::kSinkBufferQueueSize:
      count = source.streamProperties({PropertyKey::StreamSinkBufferQueueSize}).sinkBufferQueueSize;
      break;
    case selector::kSinkBuffersRequiredForStartup:
      count = source.streamProperties({PropertyKey::StreamSinkBuffersRequiredForStartup})
                  .sinkBuffersRequiredForStartup;
      break;
    case selector::kSinkBufferUnderrunCount:
      count = source.streamProperties({PropertyKey::StreamSinkBufferUnderrunCount})
                  .sinkBufferUnderrunCount;
      break;
    default:
      count = source.streamProperties({PropertyKey::StreamSinkEndOfData}).sinkEndOfData;
  }
  if (!count || *count < 0) return PropertyResult::failed(status::kUnknownProperty);
  return PropertyResult::of(
      static_cast<uint32_t>(std::min<int64_t>(*count, std::numeric_limits<uint32_t>::max())));
}

PropertyResult readActiveFormatIndex(ExtensionStreamSource& source) {
  ExtensionStreamProperties properties =
      source.streamProperties({PropertyKey::StreamActiveFormatIndex});
  if (!properties.activeFormatIndex || *properties.activeFormatIndex < 0 ||
      *properties.activeFormatIndex > std::numeric_limits<uint32_t>::max()) {
    return PropertyResult::failed(status::kUnknownProperty);
  }
  return PropertyResult::of(static_cast<uint32_t>(*properties.activeFormatIndex));
}

PropertyResult readFrameDuration(ExtensionStreamSource& source) {
  ExtensionStreamProperties properties =
      source.streamProperties({PropertyKey::StreamFrameDuration});
  if (!properties.frameDuration) return PropertyResult::failed(status::kUnknownProperty);
  const media::MediaTime& d = *properties.frameDuration;
  return PropertyResult::of(FrameDurationInfo{d.value, d.timescale, d.valid ? 1u : 0u});
}

}  // namespace

PropertyResult readDeviceProperty(const ExtensionDevice& device, const DeviceTreeState& state,
                                  uint32_t selector) {
  switch (selector) {
    case selector::kStreams:
      return PropertyResult::of(state.streams);
    case selector::kDeviceUID:
      return PropertyResult::of(device.uid());
    case selector::kName:
      return PropertyResult::of(device.localizedName());
    case selector::kModel:
    case selector::kTransportType:
      return readDeviceModelOrTransport(device.source(), selector);
    case selector::kProviderName:
    case selector::kManufacturer:
      if (!state.provider) return PropertyResult::failed(status::kUnknownProperty);
      return readProviderNameOrManufacturer(state.provider->source(), selector);
    case selector::kIsRunningSomewhere:
      return PropertyResult::of(uint32_t{state.runningSomewhere ? 1u : 0u});
    default:
      return PropertyResult::failed(status::kUnknownProperty);
  }
}

Status writeDeviceProperty(uint32_t selector) {
  return isDeviceSelector(selector) ? status::kIllegalOperation : status::kUnknownProperty;
}

PropertyResult readStreamProperty(const ExtensionStream& stream, uint32_t selector) {
  switch (selector) {
    case selector::kName:
      return PropertyResult::of(stream.localizedName());
    case selector::kDirection:
      // The object tree numbers directions from the device's side: 0 takes data into it.
      return PropertyResult::of(uint32_t{stream.direction() == StreamDirection::Sink ? 0u : 1u});
    case selector::kFormats:
      return PropertyResult::of(formatInfos(stream.source()));
    case selector::kActiveFormatIndex:
      return readActiveFormatIndex(stream.source());
    case selector::kFrameDuration:
      return readFrameDuration(stream.source());
    case selector::kSinkBufferQueueSize:
    case selector::kSinkBuffersRequiredForStartup:
    case selector::kSinkBufferUnderrunCount:
    case selector::kSinkEndOfData:
      return readSinkCount(stream.source(), selector);
    default:
      return PropertyResult::failed(status::kUnknownProperty);
  }
}

Status writeStreamProperty(const ExtensionStream& stream, uint32_t selector,
                           const PropertyValue& written) {
  ExtensionStreamProperties properties;
  if (selector == selector::kActiveFormatIndex) {
    const auto* index = std::get_if<uint32_t>(&written);
    if (index == nullptr) return status::kBadPropertySize;
    properties.activeFormatIndex = *index;
  } else if (selector == selector::kFrameDuration) {
    const auto* info = std::get_if<FrameDurationInfo>(&written);
    if (info == nullptr) return status::kBadPropertySize;
    properties.frameDuration = info->valid != 0
                                   ? media::MediaTime::make(info->value, info->timescale)
                                   : media::MediaTime::invalid();
  } else {
    return isStreamSelector(selector) ? status::kIllegalOperation : status::kUnknownProperty;
  }
  stream.source().setStreamProperties(properties);
  return status::kNoError;
}

}  // namespace platform::camera::in_process
