#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/camera/uuid.h"
#include "platform/media/format_description.h"
#include "platform/media/media_time.h"

// Values exchanged between a camera extension and the camera host (the CMIOExtension* value
// classes): property keys, property objects with optional fields, stream formats, clients.
namespace platform::camera {

enum class PropertyKey {
  ProviderName,
  ProviderManufacturer,
  DeviceTransportType,
  DeviceModel,
  StreamActiveFormatIndex,
  StreamFrameDuration,
  StreamSinkBufferQueueSize,
  StreamSinkBuffersRequiredForStartup,
  StreamSinkBufferUnderrunCount,
  StreamSinkEndOfData,
};
using PropertySet = std::set<PropertyKey>;

struct ExtensionProviderProperties {
  std::optional<std::string> name;
  std::optional<std::string> manufacturer;
};

struct ExtensionDeviceProperties {
  std::optional<uint32_t> transportType;
  std::optional<std::string> model;
};

struct ExtensionStreamProperties {
  std::optional<int64_t> activeFormatIndex;
  std::optional<media::MediaTime> frameDuration;
  std::optional<int64_t> sinkBufferQueueSize;
  std::optional<int64_t> sinkBuffersRequiredForStartup;
  std::optional<int64_t> sinkBufferUnderrunCount;
  std::optional<int64_t> sinkEndOfData;
};

struct ExtensionStreamFormat {
  media::FormatDescriptionRef formatDescription;
  media::MediaTime minFrameDuration;
  media::MediaTime maxFrameDuration;
  std::vector<media::MediaTime> validFrameDurations;  // empty: none listed
};

enum class StreamDirection : uint32_t { Source = 0, Sink = 1 };
enum class StreamClockType : uint32_t { HostTime = 0, LinkedCoreAudioDeviceUID = 1, Custom = 2 };

// Discontinuity flags of a sent or consumed buffer; 0 is none.
using StreamDiscontinuityFlags = uint32_t;
constexpr StreamDiscontinuityFlags kDiscontinuityNone = 0;

// One application connected to the host (CMIOExtensionClient). Immutable; compared by identity.
struct ExtensionClient {
  Uuid clientID;
  int32_t pid = 0;
  std::string signingID;
};
using ExtensionClientRef = std::shared_ptr<const ExtensionClient>;

// Confirms to a client that the buffer with this sequence number was taken at this host time.
struct ExtensionScheduledOutput {
  uint64_t sequenceNumber = 0;
  uint64_t hostTimeInNanoseconds = 0;
};

// An error the host reports to an extension (NSError): domain, code, description.
struct ExtensionError {
  std::string domain;
  int64_t code = 0;
  std::string description;
};

// The domain and codes of the errors the host reports to an extension.
inline constexpr char kHostErrorDomain[] = "platform.camera.host";
namespace host_error {
constexpr int64_t kAlreadyAdded = 1;     // addDevice/addStream: the object was added before
constexpr int64_t kNotStreaming = 2;     // consume: the client is not streaming on the stream
constexpr int64_t kTimedOut = 3;         // consume: no buffer came within the consume timeout
constexpr int64_t kStreamStopped = 4;    // consume: the client stopped or went while waiting
constexpr int64_t kNotPublished = 5;     // consume: the stream is not published (or withdrawn)
constexpr int64_t kInvalidArgument = 6;  // addDevice/addStream: no object given
}  // namespace host_error

// An error of the host's domain with one of the codes above.
inline ExtensionError hostError(int64_t code, const char* description) {
  return ExtensionError{kHostErrorDomain, code, description};
}

// Four-character transport type of virtual devices, 'virt'.
constexpr uint32_t kTransportTypeVirtual = 0x76697274;

}  // namespace platform::camera
