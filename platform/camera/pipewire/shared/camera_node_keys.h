#pragma once

#include <string>

// The node properties by which a published camera's streams carry what clients need to rebuild
// the device and stream tree and answer its properties: PipeWire lists nodes, not devices. Every
// node of a device carries the device's and the provider's.
namespace platform::camera::pipewire::keys {

inline constexpr char kDeviceUID[] = "camera.device.uid";  // the device's UID, shared by its nodes
inline constexpr char kDeviceName[] = "camera.device.name";  // the device's localized name
inline constexpr char kDeviceModel[] = "camera.device.model";
inline constexpr char kDeviceTransportType[] = "camera.device.transport-type";  // decimal
inline constexpr char kProviderName[] = "camera.provider.name";
inline constexpr char kProviderManufacturer[] = "camera.provider.manufacturer";
inline constexpr char kStreamName[] = "camera.stream.name";  // the stream's localized name
// The stream's direction as the object tree numbers it: "0" takes data into the device (sink).
inline constexpr char kStreamDirection[] = "camera.stream.direction";
inline constexpr char kStreamIndex[] = "camera.stream.index";  // its place in the device's list
// The sizes an output stream offers, in format-index order: "1920x1080,1280x720,...". The node
// offers each of kOutputPixelFormats at each of them, as outputFormats() lists them.
inline constexpr char kStreamFormats[] = "camera.stream.formats";
// The place in that list of the format the output stream streams in to its watchers: "4"; "" while
// it has none.
inline constexpr char kActiveFormat[] = "camera.stream.active-format";
// The stream's frame duration as "value/timescale": "1/30".
inline constexpr char kStreamFrameDuration[] = "camera.stream.frame-duration";
// What sink streams advertise, in decimal; the underrun count changes while the stream runs.
inline constexpr char kSinkQueueSize[] = "camera.sink.queue-size";
inline constexpr char kSinkBuffersRequiredForStartup[] = "camera.sink.buffers-required-for-startup";
inline constexpr char kSinkUnderrunCount[] = "camera.sink.underrun-count";
inline constexpr char kSinkEndOfData[] = "camera.sink.end-of-data";
// On a sink's inlet, a node of its own that one producer links to and that lists none of the keys
// above: "<device UID>/<stream index>" of the sink node it feeds.
inline constexpr char kSinkInletOf[] = "camera.sink.inlet-of";

inline std::string sinkInletTag(const std::string& deviceUID, const std::string& streamIndex) {
  return deviceUID + "/" + streamIndex;
}

}  // namespace platform::camera::pipewire::keys
