#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/camera/hardware.h"

// Read access to the system's camera object tree through a client's connection: which devices
// there are, which is the virtual camera, which of its streams takes frames, whether anyone runs
// it. Stateless: every call reads afresh, and a property that cannot be read yields empty or
// nullopt. Any thread.
namespace camd::CMIO {

using platform::camera::HardwareClient;
using platform::camera::ObjectID;
using platform::camera::PropertyAddress;

// {selector, scope, element 0}.
PropertyAddress address(uint32_t selector, uint32_t scope = platform::media::fourCC("glob"));

// A list property as object IDs, read as the platform's interface asks: its size first, then the
// data. Empty on any failure and, without a second read, when the list is empty. Entries the
// second read did not fill (the list shrank between the two reads) stay 0.
std::vector<ObjectID> objectIDs(HardwareClient& client, ObjectID object, uint32_t selector);

// A 32-bit property; nullopt when it cannot be read.
std::optional<uint32_t> uint32(HardwareClient& client, ObjectID object, uint32_t selector);

// A string property's text; nullopt when it cannot be read or the platform gives no string.
std::optional<std::string> string(HardwareClient& client, ObjectID object, uint32_t selector);

// Every camera device of the system.
std::vector<ObjectID> devices(HardwareClient& client);

// The first device whose UID equals QuillaneCamera::deviceUID(), compared exactly.
std::optional<ObjectID> findQuillaneDevice(HardwareClient& client);

// The device's first stream that takes data into the device (direction 0).
std::optional<ObjectID> sinkStream(HardwareClient& client, ObjectID device);

// True when the device's "running somewhere" property reads non-zero.
bool isRunningSomewhere(HardwareClient& client, ObjectID device);

}  // namespace camd::CMIO
