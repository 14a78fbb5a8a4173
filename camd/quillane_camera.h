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

}  // namespace camd::QuillaneCamera
