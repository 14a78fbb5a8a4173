#pragma once

// The node properties by which a published camera's streams carry what clients need to rebuild
// the device and stream tree: PipeWire lists nodes, not devices.
namespace platform::camera::pipewire::keys {

inline constexpr char kDeviceUID[] = "camera.device.uid";    // the device's UID, shared by its nodes
inline constexpr char kDeviceName[] = "camera.device.name";  // the device's localized name
inline constexpr char kStreamName[] = "camera.stream.name";  // the stream's localized name
// The stream's direction as the object tree numbers it: "0" takes data into the device (sink).
inline constexpr char kStreamDirection[] = "camera.stream.direction";
inline constexpr char kStreamIndex[] = "camera.stream.index";  // its place in the device's list
inline constexpr char kSinkQueueSize[] = "camera.sink.queue-size";  // advertised by sink streams
// The sizes an output stream offers, in format-index order: "1920x1080,1280x720,...".
inline constexpr char kStreamFormats[] = "camera.stream.formats";

}  // namespace platform::camera::pipewire::keys
