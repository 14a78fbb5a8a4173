#include "camd/cmio.h"

#include <algorithm>

#include "camd/quillane_camera.h"

namespace camd::CMIO {

namespace camera = platform::camera;
namespace selector = platform::camera::selector;

PropertyAddress address(uint32_t selector, uint32_t scope) {
  return PropertyAddress{selector, scope, 0};
}

std::vector<ObjectID> objectIDs(HardwareClient& client, ObjectID object, uint32_t selector) {
  const PropertyAddress where = address(selector);
  const camera::PropertyResult sized = client.readProperty(object, where);
  const auto* listed = sized.valueIf<std::vector<ObjectID>>();
  if (listed == nullptr || listed->empty()) return {};
  std::vector<ObjectID> ids(listed->size(), 0);
  const camera::PropertyResult read = client.readProperty(object, where);
  const auto* data = read.valueIf<std::vector<ObjectID>>();
  if (data == nullptr) return {};
  std::copy_n(data->begin(), std::min(data->size(), ids.size()), ids.begin());
  return ids;
}

std::optional<uint32_t> uint32(HardwareClient& client, ObjectID object, uint32_t selector) {
  const camera::PropertyResult read = client.readProperty(object, address(selector));
  const auto* value = read.valueIf<uint32_t>();
  return value != nullptr ? std::optional(*value) : std::nullopt;
}

std::optional<std::string> string(HardwareClient& client, ObjectID object, uint32_t selector) {
  const camera::PropertyResult read = client.readProperty(object, address(selector));
  const auto* text = read.valueIf<std::string>();
  return text != nullptr ? std::optional(*text) : std::nullopt;
}

std::vector<ObjectID> devices(HardwareClient& client) {
  return objectIDs(client, camera::kSystemObject, selector::kDevices);
}

std::optional<ObjectID> findQuillaneDevice(HardwareClient& client) {
  for (ObjectID device : devices(client)) {
    std::optional<std::string> uid = string(client, device, selector::kDeviceUID);
    if (uid && *uid == QuillaneCamera::deviceUID()) return device;
  }
  return std::nullopt;
}

std::optional<ObjectID> sinkStream(HardwareClient& client, ObjectID device) {
  for (ObjectID stream : objectIDs(client, device, selector::kStreams)) {
    if (uint32(client, stream, selector::kDirection) == 0u) return stream;
  }
  return std::nullopt;
}

bool isRunningSomewhere(HardwareClient& client, ObjectID device) {
  std::optional<uint32_t> running = uint32(client, device, selector::kIsRunningSomewhere);
  return running.has_value() && *running != 0;
}

}  // namespace camd::CMIO
