#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "platform/camera/extension_objects.h"
#include "platform/camera/hardware.h"

// Answers property reads and writes of published devices and streams from their sources.
// Stateless; runs on the in-process host's callback queue, since it calls into the sources.
namespace platform::camera::in_process {

// What the object tree knows about a device when one of its properties is read.
struct DeviceTreeState {
  std::shared_ptr<ExtensionProvider> provider;
  std::vector<ObjectID> streams;
  bool runningSomewhere = false;
};

PropertyResult readDeviceProperty(const ExtensionDevice& device, const DeviceTreeState& state,
                                  uint32_t selector);
Status writeDeviceProperty(uint32_t selector);

PropertyResult readStreamProperty(const ExtensionStream& stream, uint32_t selector);
Status writeStreamProperty(const ExtensionStream& stream, uint32_t selector,
                           const PropertyValue& value);

}  // namespace platform::camera::in_process
