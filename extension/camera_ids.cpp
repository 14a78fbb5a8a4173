#include "extension/camera_ids.h"

#include <string_view>

#include "extension/fatal_error.h"

namespace quillane::CameraIDs {
namespace {

using platform::camera::Uuid;

constexpr std::string_view kDeviceText = "7C0E1F2A-5B1D-4E7A-9C3B-2A1F0D9E8B77";
constexpr std::string_view kSourceText = "3D2C1B0A-9F8E-4D7C-8B6A-5F4E3D2C1B0A";
constexpr std::string_view kSinkText = "9A8B7C6D-5E4F-4A3B-9C2D-1E0F9A8B7C6D";

Uuid parseOrDie(std::string_view text) {
  auto uuid = Uuid::parse(text);
  if (!uuid) fatalError("camera identifier does not parse as a UUID");
  return *uuid;
}

}  // namespace

const std::string& deviceUID() {
  static const std::string text(kDeviceText);
  return text;
}

const Uuid& device() {
  static const Uuid uuid = parseOrDie(kDeviceText);
  return uuid;
}

const Uuid& source() {
  static const Uuid uuid = parseOrDie(kSourceText);
  return uuid;
}

const Uuid& sink() {
  static const Uuid uuid = parseOrDie(kSinkText);
  return uuid;
}

}  // namespace quillane::CameraIDs
