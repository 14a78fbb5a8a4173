#pragma once

#include <memory>

#include "extension/device_source.h"
#include "platform/camera/extension_objects.h"
#include "platform/camera/extension_sources.h"
#include "platform/dispatch/clock.h"

namespace quillane {

// What the extension offers the camera host: one provider with the one camera device. Built
// once at start; a device the provider refuses ends the process. The host calls the
// provider-source methods on its own threads; they touch no mutable state.
class ProviderSource : public platform::camera::ExtensionProviderSource {
 public:
  explicit ProviderSource(
      std::shared_ptr<platform::dispatch::Clock> clock = platform::dispatch::hostClock());
  ProviderSource(const ProviderSource&) = delete;
  ProviderSource& operator=(const ProviderSource&) = delete;

  const std::shared_ptr<platform::camera::ExtensionProvider>& provider() const { return provider_; }
  DeviceSource& deviceSource() const { return *deviceSource_; }

  // Every client is welcome; nothing is kept per client.
  bool connectClient(const platform::camera::ExtensionClientRef& client) override;
  void disconnectClient(const platform::camera::ExtensionClientRef& client) override;
  platform::camera::PropertySet availableProperties() override;
  platform::camera::ExtensionProviderProperties providerProperties(
      const platform::camera::PropertySet& keys) override;
  void setProviderProperties(
      const platform::camera::ExtensionProviderProperties& properties) override;

 private:
  std::shared_ptr<DeviceSource> deviceSource_;
  std::shared_ptr<platform::camera::ExtensionProvider> provider_;
};

}  // namespace quillane
