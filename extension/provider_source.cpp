#include "extension/provider_source.h"

#include "extension/fatal_error.h"

namespace quillane {

using platform::camera::ExtensionClientRef;
using platform::camera::ExtensionProvider;
using platform::camera::ExtensionProviderProperties;
using platform::camera::PropertyKey;
using platform::camera::PropertySet;

namespace {
constexpr char kProviderName[] = "Quillane Camera";
constexpr char kManufacturer[] = "Quillane";
}  // namespace

ProviderSource::ProviderSource(std::shared_ptr<platform::dispatch::Clock> clock)
    : deviceSource_(std::make_shared<DeviceSource>(std::move(clock))),
      provider_(ExtensionProvider::create(*this)) {
  if (auto error = provider_->addDevice(deviceSource_->device())) {
    fatalError("the provider refused the device: " + error->description);
  }
}

bool ProviderSource::connectClient(const ExtensionClientRef&) {
  return true;
}

void ProviderSource::disconnectClient(const ExtensionClientRef&) {}

PropertySet ProviderSource::availableProperties() {
  return {PropertyKey::ProviderName, PropertyKey::ProviderManufacturer};
}

ExtensionProviderProperties ProviderSource::providerProperties(const PropertySet& keys) {
  ExtensionProviderProperties properties;
  if (keys.contains(PropertyKey::ProviderName)) properties.name = kProviderName;
  if (keys.contains(PropertyKey::ProviderManufacturer)) properties.manufacturer = kManufacturer;
  return properties;
}

void ProviderSource::setProviderProperties(const ExtensionProviderProperties&) {}

}  // namespace quillane
