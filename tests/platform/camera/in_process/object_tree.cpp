#include "tests/platform/camera/in_process/object_tree.h"

namespace platform::camera::in_process {

std::optional<std::vector<ObjectID>> ObjectTree::publish(
    const std::shared_ptr<ExtensionProvider>& provider) {
  if (providers_.count(provider.get()) != 0) return std::nullopt;
  ProviderEntry entry{provider, {}};
  std::vector<ObjectID> streamIDs;
  for (const std::shared_ptr<ExtensionDevice>& device : provider->devices()) {
    const ObjectID deviceID = nextID_++;
    DeviceEntry deviceEntry{provider.get(), device, {}};
    for (const std::shared_ptr<ExtensionStream>& stream : device->streams()) {
      const ObjectID streamID = nextID_++;
      streams_.emplace(streamID, StreamEntry{deviceID, provider.get(), stream});
      deviceEntry.streams.push_back(streamID);
      streamIDs.push_back(streamID);
    }
    devices_.emplace(deviceID, std::move(deviceEntry));
    entry.devices.push_back(deviceID);
  }
  providers_.emplace(provider.get(), std::move(entry));
  return streamIDs;
}

std::optional<std::map<ObjectID, ObjectTree::StreamEntry>> ObjectTree::withdraw(
    const ExtensionProvider* provider) {
  auto found = providers_.find(provider);
  if (found == providers_.end()) return std::nullopt;
  std::map<ObjectID, StreamEntry> removed;
  for (ObjectID deviceID : found->second.devices) {
    for (ObjectID streamID : devices_.at(deviceID).streams) {
      removed.insert(streams_.extract(streamID));
    }
    devices_.erase(deviceID);
  }
  providers_.erase(found);
  return removed;
}

std::shared_ptr<ExtensionProvider> ObjectTree::provider(const ExtensionProvider* provider) const {
  auto found = providers_.find(provider);
  return found == providers_.end() ? nullptr : found->second.provider;
}

std::vector<std::shared_ptr<ExtensionProvider>> ObjectTree::providers() const {
  std::vector<std::shared_ptr<ExtensionProvider>> all;
  for (const auto& [key, entry] : providers_) all.push_back(entry.provider);
  return all;
}

const ObjectTree::DeviceEntry* ObjectTree::device(ObjectID id) const {
  auto found = devices_.find(id);
  return found == devices_.end() ? nullptr : &found->second;
}

const ObjectTree::StreamEntry* ObjectTree::stream(ObjectID id) const {
  auto found = streams_.find(id);
  return found == streams_.end() ? nullptr : &found->second;
}

std::vector<ObjectID> ObjectTree::deviceIDs() const {
  std::vector<ObjectID> ids;
  for (const auto& [id, entry] : devices_) ids.push_back(id);
  return ids;
}

}  // namespace platform::camera::in_process
