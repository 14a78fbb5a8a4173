#include "platform/camera/extension_objects.h"

#include <mutex>
#include <set>

#include "platform/camera/host_runtime.h"

namespace platform::camera {
namespace {

ExtensionError invalidArgument(const char* description) {
  return ExtensionError{kHostErrorDomain, host_error::kInvalidArgument, description};
}

ExtensionError alreadyAdded(const char* description) {
  return ExtensionError{kHostErrorDomain, host_error::kAlreadyAdded, description};
}

// The streams and devices that were added somewhere, so that none is added twice. An object is
// released when its owner (device or provider) is destroyed. Thread-safe (mutex_).
class AddedObjects {
 public:
  static AddedObjects& instance() {
    static AddedObjects* added = new AddedObjects;  // never destroyed: used by destructors
    return *added;
  }
  bool claim(const void* object) {
    std::lock_guard lock(mutex_);
    return objects_.insert(object).second;
  }
  void release(const void* object) {
    std::lock_guard lock(mutex_);
    objects_.erase(object);
  }

 private:
  std::mutex mutex_;
  std::set<const void*> objects_;
};

// The names are immutable; every call into the host goes to the process's host runtime.
class HostedStream final : public ExtensionStream {
 public:
  HostedStream(std::string localizedName, Uuid streamID, StreamDirection direction,
               ExtensionStreamSource& source)
      : localizedName_(std::move(localizedName)),
        streamID_(streamID),
        direction_(direction),
        source_(source) {}

  const std::string& localizedName() const override { return localizedName_; }
  const Uuid& streamID() const override { return streamID_; }
  StreamDirection direction() const override { return direction_; }
  ExtensionStreamSource& source() const override { return source_; }

  void sendSampleBuffer(media::SampleBufferRef sampleBuffer, StreamDiscontinuityFlags,
                        uint64_t) override {
    HostRuntime::processRuntime().sendSampleBuffer(*this, std::move(sampleBuffer));
  }
  void consumeSampleBuffer(const ExtensionClientRef& client,
                           ConsumeCompletion completion) override {
    HostRuntime::processRuntime().consumeSampleBuffer(*this, client, std::move(completion));
  }
  void notifyScheduledOutputChanged(const ExtensionScheduledOutput& output) override {
    HostRuntime::processRuntime().notifyScheduledOutputChanged(*this, output);
  }
  std::vector<ExtensionClientRef> streamingClients() const override {
    return HostRuntime::processRuntime().streamingClients(*this);
  }

 private:
  const std::string localizedName_;
  const Uuid streamID_;
  const StreamDirection direction_;
  ExtensionStreamSource& source_;  // owns this stream and outlives its service
};

// Streams are guarded by mutex_.
class HostedDevice final : public ExtensionDevice {
 public:
  HostedDevice(std::string localizedName, Uuid deviceID, std::optional<std::string> legacyDeviceID,
               ExtensionDeviceSource& source)
      : localizedName_(std::move(localizedName)),
        deviceID_(deviceID),
        legacyDeviceID_(std::move(legacyDeviceID)),
        source_(source) {}
  ~HostedDevice() override {
    for (const auto& stream : streams_) AddedObjects::instance().release(stream.get());
  }

  const std::string& localizedName() const override { return localizedName_; }
  const Uuid& deviceID() const override { return deviceID_; }
  const std::optional<std::string>& legacyDeviceID() const override { return legacyDeviceID_; }
  ExtensionDeviceSource& source() const override { return source_; }

  std::optional<ExtensionError> addStream(std::shared_ptr<ExtensionStream> stream) override {
    if (!stream) return invalidArgument("no stream given");
    if (!AddedObjects::instance().claim(stream.get())) {
      return alreadyAdded("the stream was already added to a device");
    }
    std::lock_guard lock(mutex_);
    streams_.push_back(std::move(stream));
    return std::nullopt;
  }
  std::vector<std::shared_ptr<ExtensionStream>> streams() const override {
    std::lock_guard lock(mutex_);
    return streams_;
  }

 private:
  const std::string localizedName_;
  const Uuid deviceID_;
  const std::optional<std::string> legacyDeviceID_;
  ExtensionDeviceSource& source_;  // owns this device and outlives its service
  mutable std::mutex mutex_;
  std::vector<std::shared_ptr<ExtensionStream>> streams_;
};

// Devices are guarded by mutex_.
class HostedProvider final : public ExtensionProvider {
 public:
  explicit HostedProvider(ExtensionProviderSource& source) : source_(source) {}
  ~HostedProvider() override {
    for (const auto& device : devices_) AddedObjects::instance().release(device.get());
  }

  ExtensionProviderSource& source() const override { return source_; }

  std::optional<ExtensionError> addDevice(std::shared_ptr<ExtensionDevice> device) override {
    if (!device) return invalidArgument("no device given");
    if (!AddedObjects::instance().claim(device.get())) {
      return alreadyAdded("the device was already added to a provider");
    }
    std::lock_guard lock(mutex_);
    devices_.push_back(std::move(device));
    return std::nullopt;
  }
  std::vector<std::shared_ptr<ExtensionDevice>> devices() const override {
    std::lock_guard lock(mutex_);
    return devices_;
  }

 private:
  ExtensionProviderSource& source_;  // owns this provider and outlives its service
  mutable std::mutex mutex_;
  std::vector<std::shared_ptr<ExtensionDevice>> devices_;
};

}  // namespace

std::shared_ptr<ExtensionStream> ExtensionStream::create(std::string localizedName, Uuid streamID,
                                                         StreamDirection direction, StreamClockType,
                                                         ExtensionStreamSource& source) {
  return std::make_shared<HostedStream>(std::move(localizedName), streamID, direction, source);
}

std::shared_ptr<ExtensionDevice> ExtensionDevice::create(std::string localizedName, Uuid deviceID,
                                                         std::optional<std::string> legacyDeviceID,
                                                         ExtensionDeviceSource& source) {
  return std::make_shared<HostedDevice>(std::move(localizedName), deviceID,
                                        std::move(legacyDeviceID), source);
}

std::shared_ptr<ExtensionProvider> ExtensionProvider::create(ExtensionProviderSource& source) {
  return std::make_shared<HostedProvider>(source);
}

void ExtensionProvider::startService(const std::shared_ptr<ExtensionProvider>& provider) {
  HostRuntime::processRuntime().publish(provider);
}

void ExtensionProvider::stopService(const std::shared_ptr<ExtensionProvider>& provider) {
  HostRuntime::processRuntime().withdraw(provider);
}

}  // namespace platform::camera
