#pragma once

#include <string>

#include "platform/camera/uuid.h"

// Identities under which the camera and its two streams are published. Each value is built once,
// on first access from any thread, and never changes.
namespace quillane::CameraIDs {

// The device UID text that hardware-object clients read and the control tool searches for.
const std::string& deviceUID();
const platform::camera::Uuid& device();
const platform::camera::Uuid& source();
const platform::camera::Uuid& sink();

}  // namespace quillane::CameraIDs
