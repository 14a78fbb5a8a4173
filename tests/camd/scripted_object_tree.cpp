#include "tests/camd/scripted_object_tree.h"

namespace camd::testing {

namespace camera = platform::camera;
namespace selector = platform::camera::selector;

void ScriptedObjectTree::set(ObjectID object, uint32_t selector,
                             std::vector<PropertyResult> results) {
  std::lock_guard lock(mutex_);
  scripts_.insert_or_assign({object, selector}, std::move(results));
}

void ScriptedObjectTree::set(ObjectID object, uint32_t selector, PropertyValue value) {
  set(object, selector, std::vector<PropertyResult>{{0, std::move(value)}});
}

void ScriptedObjectTree::addDevice(ObjectID device, const std::string& uid,
                                   std::vector<uint32_t> directions) {
  std::vector<ObjectID> devices;
  {
    std::lock_guard lock(mutex_);
    auto found = scripts_.find({camera::kSystemObject, selector::kDevices});
    if (found != scripts_.end()) {
      devices = std::get<std::vector<ObjectID>>(found->second.back().value);
    }
  }
  devices.push_back(device);
  set(camera::kSystemObject, selector::kDevices, devices);
  set(device, selector::kDeviceUID, uid);
  set(device, selector::kName, "Device " + uid);
  set(device, selector::kIsRunningSomewhere, uint32_t{0});
  std::vector<ObjectID> streams;
  for (std::size_t i = 0; i < directions.size(); ++i) {
    const ObjectID stream = device + 1 + static_cast<ObjectID>(i);
    streams.push_back(stream);
    set(stream, selector::kDirection, directions[i]);
  }
  set(device, selector::kStreams, streams);
}

int ScriptedObjectTree::reads(ObjectID object, uint32_t selector) const {
  std::lock_guard lock(mutex_);
  auto found = reads_.find({object, selector});
  return found == reads_.end() ? 0 : found->second;
}

PropertyResult ScriptedObjectTree::readProperty(ObjectID object,
                                                const camera::PropertyAddress& address) {
  std::lock_guard lock(mutex_);
  const Key key{object, address.selector};
  const int read = reads_[key]++;
  auto found = scripts_.find(key);
  if (found == scripts_.end() || found->second.empty()) {
    return {camera::status::kUnknownProperty, {}};
  }
  const std::vector<PropertyResult>& results = found->second;
  return results[std::min<std::size_t>(read, results.size() - 1)];
}

Status ScriptedObjectTree::writeProperty(ObjectID, const camera::PropertyAddress&,
                                         const PropertyValue&) {
  return camera::status::kIllegalOperation;
}

Status ScriptedObjectTree::copyBufferQueue(ObjectID, std::function<void()>,
                                           platform::media::SimpleQueueRef* queue) {
  if (copyQueueGivesQueue) *queue = platform::media::SimpleQueue::create(4);
  return copyQueueStatus;
}

Status ScriptedObjectTree::startStream(ObjectID, ObjectID) {
  return startStatus;
}

Status ScriptedObjectTree::stopStream(ObjectID, ObjectID) {
  return 0;
}

}  // namespace camd::testing
