#pragma once

#include <cstdint>
#include <vector>

#include "platform/camera/extension_objects.h"
#include "platform/camera/host_connection.h"

// Answers property reads and writes of published devices and streams from their sources.
// Stateless; runs on the host's callback queue, since it calls into the extension's sources.
namespace platform::camera {

// What the object tree knows about a device when one of its properties is read.
struct DeviceTreeState {
  std::vector<ObjectID> streams;
  bool runningSomewhere = false;
};

PropertyResult readDeviceProperty(const ExtensionDevice& device, const DeviceTreeState& state,
                                  uint32_t selector);
Status writeDeviceProperty(uint32_t selector);

PropertyResult readStreamProperty(const ExtensionStream& stream, uint32_t selector);
Status writeStreamProperty(const ExtensionStream& stream, uint32_t selector,
                           const std::vector<uint8_t>& data);

// The stream's sink buffer queue size as its source advertises it, if it does.
std::optional<int64_t> advertisedSinkQueueSize(const ExtensionStream& stream);

}  // namespace platform::camera
