#pragma once

#include "platform/camera/extension_types.h"

// The three protocols a camera extension implements (CMIOExtensionProviderSource,
// CMIOExtensionDeviceSource, CMIOExtensionStreamSource). The host calls every method on threads
// of its own, never on a queue of the extension's; implementations make their state safe for
// that. Methods report success: the extensions of this system never refuse.
namespace platform::camera {

class ExtensionProviderSource {
 public:
  virtual ~ExtensionProviderSource() = default;
  virtual bool connectClient(const ExtensionClientRef& client) = 0;
  virtual void disconnectClient(const ExtensionClientRef& client) = 0;
  virtual PropertySet availableProperties() = 0;
  virtual ExtensionProviderProperties providerProperties(const PropertySet& keys) = 0;
  virtual void setProviderProperties(const ExtensionProviderProperties& properties) = 0;
};

class ExtensionDeviceSource {
 public:
  virtual ~ExtensionDeviceSource() = default;
  virtual PropertySet availableProperties() = 0;
  virtual ExtensionDeviceProperties deviceProperties(const PropertySet& keys) = 0;
  virtual void setDeviceProperties(const ExtensionDeviceProperties& properties) = 0;
};

class ExtensionStreamSource {
 public:
  virtual ~ExtensionStreamSource() = default;
  virtual std::vector<ExtensionStreamFormat> formats() = 0;
  virtual PropertySet availableProperties() = 0;
  virtual ExtensionStreamProperties streamProperties(const PropertySet& keys) = 0;
  virtual void setStreamProperties(const ExtensionStreamProperties& properties) = 0;
  virtual bool authorizedToStartStream(const ExtensionClientRef& client) = 0;
  virtual void startStream() = 0;
  virtual void stopStream() = 0;
};

}  // namespace platform::camera
