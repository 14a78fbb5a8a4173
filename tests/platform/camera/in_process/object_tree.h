#pragma once

#include <map>
#include <memory>
#include <optional>
#include <vector>

#include "platform/camera/extension_objects.h"
#include "platform/camera/hardware.h"

namespace platform::camera::in_process {

// The published providers' devices and streams under object IDs. IDs count up per host and are
// never reused, so a provider published again gets new ones. Not thread-safe: the host guards it
// with its state lock.
class ObjectTree {
 public:
  struct StreamEntry {
    ObjectID device = kObjectUnknown;
    const ExtensionProvider* provider = nullptr;
    std::shared_ptr<ExtensionStream> stream;
  };
  struct DeviceEntry {
    const ExtensionProvider* provider = nullptr;
    std::shared_ptr<ExtensionDevice> device;
    std::vector<ObjectID> streams;  // in the order the device lists them
  };

  // Adds every device and stream of the provider under new IDs and returns the new streams' IDs;
  // nullopt, with nothing changed, when the provider is published already.
  std::optional<std::vector<ObjectID>> publish(const std::shared_ptr<ExtensionProvider>& provider);
  // Removes the provider's objects and returns its streams by ID; nullopt when it was not
  // published.
  std::optional<std::map<ObjectID, StreamEntry>> withdraw(const ExtensionProvider* provider);

  std::shared_ptr<ExtensionProvider> provider(const ExtensionProvider* provider) const;
  std::vector<std::shared_ptr<ExtensionProvider>> providers() const;
  const DeviceEntry* device(ObjectID id) const;
  const StreamEntry* stream(ObjectID id) const;
  // Every device, in the order of publication.
  std::vector<ObjectID> deviceIDs() const;

 private:
  struct ProviderEntry {
    std::shared_ptr<ExtensionProvider> provider;
    std::vector<ObjectID> devices;
  };

  ObjectID nextID_ = kSystemObject + 1;
  std::map<const ExtensionProvider*, ProviderEntry> providers_;
  std::map<ObjectID, DeviceEntry> devices_;  // ascending IDs: the order of publication
  std::map<ObjectID, StreamEntry> streams_;
};

}  // namespace platform::camera::in_process
