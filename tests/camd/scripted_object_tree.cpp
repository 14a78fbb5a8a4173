#include "tests/camd/scripted_object_tree.h"

#include <cstring>

namespace platform::camera {

struct OwnedString {
  std::string text;
};

}  // namespace platform::camera

namespace camd::testing {

namespace camera = platform::camera;

ScriptedObjectTree& ScriptedObjectTree::instance() {
  static ScriptedObjectTree tree;
  return tree;
}

void ScriptedObjectTree::reset() {
  std::lock_guard lock(mutex_);
  properties_.clear();
  reads_.clear();
  copyQueueStatus = 0;
  copyQueueGivesQueue = true;
  startStatus = 0;
}

void ScriptedObjectTree::set(ObjectID object, uint32_t selector, ScriptedProperty property) {
  std::lock_guard lock(mutex_);
  properties_.insert_or_assign({object, selector}, std::move(property));
}

void ScriptedObjectTree::addDevice(ObjectID device, const std::string& uid,
                                   std::vector<uint32_t> directions) {
  namespace selector = camera::selector;
  std::vector<ObjectID> devices;
  {
    std::lock_guard lock(mutex_);
    auto found = properties_.find({camera::kSystemObject, selector::kDevices});
    if (found != properties_.end()) devices = std::get<std::vector<ObjectID>>(found->second.value);
  }
  devices.push_back(device);
  set(camera::kSystemObject, selector::kDevices, {devices});
  set(device, selector::kDeviceUID, {std::optional<std::string>(uid)});
  set(device, selector::kName, {std::optional<std::string>("Device " + uid)});
  set(device, selector::kIsRunningSomewhere, {uint32_t{0}});
  std::vector<ObjectID> streams;
  for (std::size_t i = 0; i < directions.size(); ++i) {
    const ObjectID stream = device + 1 + static_cast<ObjectID>(i);
    streams.push_back(stream);
    set(stream, selector::kDirection, {directions[i]});
  }
  set(device, selector::kStreams, {streams});
}

int ScriptedObjectTree::dataReads(ObjectID object, uint32_t selector) const {
  std::lock_guard lock(mutex_);
  auto found = reads_.find({object, selector});
  return found == reads_.end() ? 0 : found->second;
}

int ScriptedObjectTree::stringsAlive() const {
  std::lock_guard lock(mutex_);
  return stringsAlive_;
}

Status ScriptedObjectTree::size(ObjectID object, uint32_t selector, uint32_t* dataSize) {
  std::lock_guard lock(mutex_);
  auto found = properties_.find({object, selector});
  if (found == properties_.end()) return camera::status::kUnknownProperty;
  const ScriptedProperty& property = found->second;
  if (property.sizeStatus != 0) return property.sizeStatus;
  uint32_t bytes = 4;
  if (auto* ids = std::get_if<std::vector<ObjectID>>(&property.value)) bytes = ids->size() * 4;
  if (std::holds_alternative<std::optional<std::string>>(property.value)) bytes = 8;
  *dataSize = property.reportedSize.value_or(bytes);
  return 0;
}

Status ScriptedObjectTree::read(ObjectID object, uint32_t selector, uint32_t dataSize, void* data) {
  std::lock_guard lock(mutex_);
  ++reads_[{object, selector}];
  auto found = properties_.find({object, selector});
  if (found == properties_.end()) return camera::status::kUnknownProperty;
  const ScriptedProperty& property = found->second;
  if (property.dataStatus != 0) return property.dataStatus;
  if (auto* ids = std::get_if<std::vector<ObjectID>>(&property.value)) {
    const std::size_t count = std::min<std::size_t>(ids->size(), dataSize / 4);
    std::memcpy(data, ids->data(), count * 4);
  } else if (auto* value = std::get_if<uint32_t>(&property.value)) {
    if (dataSize < 4) return camera::status::kBadPropertySize;
    std::memcpy(data, value, 4);
  } else {
    if (dataSize < 8) return camera::status::kBadPropertySize;
    const auto& text = std::get<std::optional<std::string>>(property.value);
    camera::StringRef string = nullptr;
    if (text) {
      string = new camera::OwnedString{*text};
      ++stringsAlive_;
    }
    std::memcpy(data, &string, sizeof(string));
  }
  return 0;
}

void ScriptedObjectTree::stringReleased() {
  std::lock_guard lock(mutex_);
  --stringsAlive_;
}

}  // namespace camd::testing

// The platform's client functions, answered from the scripted tree.
namespace platform::camera {

using camd::testing::ScriptedObjectTree;

std::string stringText(StringRef string) {
  return string != nullptr ? string->text : "";
}

void releaseString(StringRef string) {
  if (string == nullptr) return;
  delete string;
  ScriptedObjectTree::instance().stringReleased();
}

Status objectGetPropertyDataSize(ObjectID object, const PropertyAddress& address, uint32_t,
                                 const void*, uint32_t* dataSize) {
  return ScriptedObjectTree::instance().size(object, address.selector, dataSize);
}

Status objectGetPropertyData(ObjectID object, const PropertyAddress& address, uint32_t, const void*,
                             uint32_t dataSize, uint32_t*, void* data) {
  return ScriptedObjectTree::instance().read(object, address.selector, dataSize, data);
}

Status streamCopyBufferQueue(ObjectID, QueueAlteredProc, void*, media::SimpleQueueRef* queue) {
  ScriptedObjectTree& tree = ScriptedObjectTree::instance();
  if (tree.copyQueueGivesQueue) *queue = media::SimpleQueue::create(4);
  return tree.copyQueueStatus;
}

Status deviceStartStream(ObjectID, ObjectID) {
  return ScriptedObjectTree::instance().startStatus;
}

Status deviceStopStream(ObjectID, ObjectID) {
  return 0;
}

}  // namespace platform::camera
