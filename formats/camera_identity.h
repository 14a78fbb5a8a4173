#pragma once

#include <cstdlib>
#include <string>

// The camera's device UID as the programs that look for the camera know it: the control tool,
// the viewer and the tests. The extension, which publishes it, holds the same text itself.
namespace quillane::camera_identity {

inline constexpr char kDeviceUID[] = "7C0E1F2A-5B1D-4E7A-9C3B-2A1F0D9E8B77";

// The device UID to look for: the value of QLN_DEVICE_UID when it is set (even empty), otherwise
// kDeviceUID. Reads the environment on each call.
inline std::string deviceUIDToLookFor() {
  const char* override = std::getenv("QLN_DEVICE_UID");
  return override != nullptr ? override : kDeviceUID;
}

}  // namespace quillane::camera_identity
