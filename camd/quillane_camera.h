#pragma once

#include <string>

// The virtual camera's fixed identities as the tool sees them.
namespace camd::QuillaneCamera {

// The camera extension's bundle identifier, named in activation and deactivation requests.
const std::string& extensionID();

// The device UID the tool looks for: the value of QLN_DEVICE_UID when it is set (even empty),
// otherwise the UID the extension publishes. Read once, on first use, and kept for the life of
// the process; thread-safe.
const std::string& deviceUID();

// The UID the camera extension publishes for its device.
inline constexpr const char* kDefaultDeviceUID = "7C0E1F2A-5B1D-4E7A-9C3B-2A1F0D9E8B77";

}  // namespace camd::QuillaneCamera
