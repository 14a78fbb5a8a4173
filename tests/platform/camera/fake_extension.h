#pragma once

#include <unistd.h>

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/camera/camera_host.h"
#include "platform/camera/extension_objects.h"

// A small camera extension for the host's tests: one provider with one device with a sink
// stream and an output stream. Sources count their calls and note whether any ran on the test's
// own thread. Counters are atomics; the hooks are set before the service starts.
namespace platform::camera::testing {

// Notes every callback's thread: the host must call sources on threads of its own.
class CallbackThreads {
 public:
  explicit CallbackThreads(std::thread::id testThread) : testThread_(testThread) {}
  void note() {
    if (std::this_thread::get_id() == testThread_) ranOnTestThread = true;
  }
  std::atomic<bool> ranOnTestThread{false};

 private:
  const std::thread::id testThread_;
};

class FakeProviderSource final : public ExtensionProviderSource {
 public:
  explicit FakeProviderSource(CallbackThreads& threads) : threads_(threads) {}
  bool connectClient(const ExtensionClientRef&) override {
    threads_.note();
    ++connects;
    return acceptClients;
  }
  void disconnectClient(const ExtensionClientRef&) override {
    threads_.note();
    ++disconnects;
  }
  PropertySet availableProperties() override { return {}; }
  ExtensionProviderProperties providerProperties(const PropertySet& keys) override {
    ExtensionProviderProperties properties;
    if (keys.count(PropertyKey::ProviderName) != 0) properties.name = "Fake Provider";
    if (keys.count(PropertyKey::ProviderManufacturer) != 0) properties.manufacturer = "Fakes";
    return properties;
  }
  void setProviderProperties(const ExtensionProviderProperties&) override {}

  std::atomic<int> connects{0};
  std::atomic<int> disconnects{0};
  std::atomic<bool> acceptClients{true};

 private:
  CallbackThreads& threads_;
};

class FakeDeviceSource final : public ExtensionDeviceSource {
 public:
  PropertySet availableProperties() override {
    return {PropertyKey::DeviceModel, PropertyKey::DeviceTransportType};
  }
  ExtensionDeviceProperties deviceProperties(const PropertySet& keys) override {
    ExtensionDeviceProperties properties;
    if (keys.count(PropertyKey::DeviceModel) != 0) properties.model = "Fake Model";
    if (keys.count(PropertyKey::DeviceTransportType) != 0) {
      properties.transportType = kTransportTypeVirtual;
    }
    return properties;
  }
  void setDeviceProperties(const ExtensionDeviceProperties&) override {}
};

class FakeStreamSource final : public ExtensionStreamSource {
 public:
  explicit FakeStreamSource(CallbackThreads& threads) : threads_(threads) {}

  std::vector<ExtensionStreamFormat> formats() override {
    threads_.note();
    auto frame = media::MediaTime::make(1, 30);
    return {{media::FormatDescription::createVideo(media::kPixelFormat32BGRA, 1920, 1080),
             frame,
             frame,
             {}},
            {media::FormatDescription::createVideo(media::kPixelFormat32BGRA, 640, 480),
             frame,
             frame,
             {}}};
  }
  PropertySet availableProperties() override { return {}; }
  ExtensionStreamProperties streamProperties(const PropertySet& keys) override {
    threads_.note();
    std::lock_guard lock(mutex_);
    ExtensionStreamProperties properties;
    if (keys.count(PropertyKey::StreamActiveFormatIndex) != 0) {
      properties.activeFormatIndex = activeFormatIndex_;
    }
    if (keys.count(PropertyKey::StreamFrameDuration) != 0)
      properties.frameDuration = frameDuration_;
    if (keys.count(PropertyKey::StreamSinkBufferQueueSize) != 0) {
      properties.sinkBufferQueueSize = sinkBufferQueueSize;
    }
    if (keys.count(PropertyKey::StreamSinkBufferUnderrunCount) != 0 && sinkBufferQueueSize) {
      properties.sinkBufferUnderrunCount = underruns.load();
    }
    return properties;
  }
  void setStreamProperties(const ExtensionStreamProperties& properties) override {
    threads_.note();
    std::lock_guard lock(mutex_);
    if (properties.activeFormatIndex) activeFormatIndex_ = *properties.activeFormatIndex;
    if (properties.frameDuration) frameDuration_ = *properties.frameDuration;
  }
  bool authorizedToStartStream(const ExtensionClientRef&) override {
    threads_.note();
    ++authorizations;
    return authorize;
  }
  void startStream() override {
    threads_.note();
    ++starts;
    if (onStart) onStart();
  }
  void stopStream() override {
    threads_.note();
    ++stops;
    if (onStop) onStop();
  }

  int64_t activeFormatIndex() {
    std::lock_guard lock(mutex_);
    return activeFormatIndex_;
  }

  std::atomic<int> authorizations{0};
  std::atomic<int> starts{0};
  std::atomic<int> stops{0};
  std::atomic<bool> authorize{true};
  // Set before the service starts; a stream that advertises a queue size counts underruns too.
  std::optional<int64_t> sinkBufferQueueSize;
  std::atomic<int64_t> underruns{0};
  std::function<void()> onStart;               // set before the service starts
  std::function<void()> onStop;                // set before the service starts

 private:
  CallbackThreads& threads_;
  std::mutex mutex_;
  int64_t activeFormatIndex_ = 0;
  media::MediaTime frameDuration_ = media::MediaTime::make(1, 30);
};

// The device UID the fake device publishes: one of this process's own, so that test processes
// sharing a daemon never find each other's fake.
inline const std::string& fakeDeviceUID() {
  static const std::string uid = "FAKE-DEVICE-UID-" + std::to_string(::getpid());
  return uid;
}

// Sources first, so they outlive the objects that refer to them; not published on `host` until
// publish().
struct FakeExtension {
  explicit FakeExtension(CameraHost& cameraHost,
                         std::optional<std::string> legacyDeviceID = fakeDeviceUID())
      : host(cameraHost), providerSource(threads), sinkSource(threads), outputSource(threads) {
    provider = ExtensionProvider::create(providerSource);
    device = ExtensionDevice::create("Fake Camera", *Uuid::parse(kDeviceID),
                                     std::move(legacyDeviceID), deviceSource);
    sink = ExtensionStream::create("Fake Sink", Uuid::random(), StreamDirection::Sink,
                                   StreamClockType::HostTime, sinkSource);
    output = ExtensionStream::create("Fake Output", Uuid::random(), StreamDirection::Source,
                                     StreamClockType::HostTime, outputSource);
    device->addStream(sink);
    device->addStream(output);
    provider->addDevice(device);
  }
  ~FakeExtension() { withdraw(); }

  void publish() { host.startService(provider); }
  void withdraw() { host.stopService(provider); }

  static constexpr char kDeviceID[] = "0A1B2C3D-4E5F-4061-8293-A4B5C6D7E8F9";

  CameraHost& host;
  CallbackThreads threads{std::this_thread::get_id()};
  FakeProviderSource providerSource;
  FakeDeviceSource deviceSource;
  FakeStreamSource sinkSource;
  FakeStreamSource outputSource;
  std::shared_ptr<ExtensionProvider> provider;
  std::shared_ptr<ExtensionDevice> device;
  std::shared_ptr<ExtensionStream> sink;
  std::shared_ptr<ExtensionStream> output;
};

}  // namespace platform::camera::testing
