#include "camd/cmio.h"

#include "camd/quillane_camera.h"

namespace camd::CMIO {

namespace camera = platform::camera;
namespace selector = platform::camera::selector;

PropertyAddress address(uint32_t selector, uint32_t scope) {
  return PropertyAddress{selector, scope, 0};
}

std::vector<ObjectID> objectIDs(ObjectID object, uint32_t selector) {
  const PropertyAddress where = address(selector);
  uint32_t size = 0;
  if (camera::objectGetPropertyDataSize(object, where, 0, nullptr, &size) != 0) return {};
  const uint32_t count = size / sizeof(ObjectID);
  if (count == 0) return {};
  std::vector<ObjectID> ids(count, 0);
  uint32_t used = 0;
  if (camera::objectGetPropertyData(object, where, 0, nullptr, count * sizeof(ObjectID), &used,
                                    ids.data()) != 0) {
    return {};
  }
  return ids;
}

std::optional<uint32_t> uint32(ObjectID object, uint32_t selector) {
  uint32_t value = 0;
  uint32_t used = 0;
  if (camera::objectGetPropertyData(object, address(selector), 0, nullptr, sizeof(value), &used,
                                    &value) != 0) {
    return std::nullopt;
  }
  return value;
}

std::optional<std::string> string(ObjectID object, uint32_t selector) {
  camera::StringRef reference = nullptr;
  uint32_t used = 0;
  const camera::Status status = camera::objectGetPropertyData(object, address(selector), 0, nullptr,
                                                              sizeof(reference), &used, &reference);
  if (reference == nullptr) return std::nullopt;
  // The reference is ours whatever the status says; take the text only on success.
  std::optional<std::string> text;
  if (status == 0) text = camera::stringText(reference);
  camera::releaseString(reference);
  return text;
}

std::vector<ObjectID> devices() {
  return objectIDs(camera::kSystemObject, selector::kDevices);
}

std::optional<ObjectID> findQuillaneDevice() {
  for (ObjectID device : devices()) {
    std::optional<std::string> uid = string(device, selector::kDeviceUID);
    if (uid && *uid == QuillaneCamera::deviceUID()) return device;
  }
  return std::nullopt;
}

std::optional<ObjectID> sinkStream(ObjectID device) {
  for (ObjectID stream : objectIDs(device, selector::kStreams)) {
    if (uint32(stream, selector::kDirection) == 0u) return stream;
  }
  return std::nullopt;
}

bool isRunningSomewhere(ObjectID device) {
  std::optional<uint32_t> running = uint32(device, selector::kIsRunningSomewhere);
  return running.has_value() && *running != 0;
}

}  // namespace camd::CMIO
