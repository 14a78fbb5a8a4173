#include "tests/camd/fake_camera.h"

#include <chrono>

namespace camd::testing {

namespace camera = platform::camera;
namespace media = platform::media;

class FakeCamera::ProviderSource : public camera::ExtensionProviderSource {
 public:
  bool connectClient(const camera::ExtensionClientRef&) override { return true; }
  void disconnectClient(const camera::ExtensionClientRef&) override {}
  camera::PropertySet availableProperties() override { return {}; }
  camera::ExtensionProviderProperties providerProperties(const camera::PropertySet&) override {
    return {};
  }
  void setProviderProperties(const camera::ExtensionProviderProperties&) override {}
};

class FakeCamera::DeviceSource : public camera::ExtensionDeviceSource {
 public:
  camera::PropertySet availableProperties() override {
    return {camera::PropertyKey::DeviceTransportType, camera::PropertyKey::DeviceModel};
  }
  camera::ExtensionDeviceProperties deviceProperties(const camera::PropertySet&) override {
    return {camera::kTransportTypeVirtual, "Fake Camera"};
  }
  void setDeviceProperties(const camera::ExtensionDeviceProperties&) override {}
};

class FakeCamera::StreamSource : public camera::ExtensionStreamSource {
 public:
  StreamSource(FakeCamera& camera, bool sink) : camera_(camera), sink_(sink) {}

  std::vector<camera::ExtensionStreamFormat> formats() override {
    const media::MediaTime frame = media::MediaTime::make(1, 30);
    return {{media::FormatDescription::createVideo(media::kPixelFormat32BGRA, 1920, 1080),
             frame,
             frame,
             {frame}}};
  }
  camera::PropertySet availableProperties() override {
    return {camera::PropertyKey::StreamActiveFormatIndex, camera::PropertyKey::StreamFrameDuration,
            camera::PropertyKey::StreamSinkBufferQueueSize};
  }
  camera::ExtensionStreamProperties streamProperties(const camera::PropertySet&) override {
    camera::ExtensionStreamProperties properties;
    properties.activeFormatIndex = 0;
    properties.frameDuration = media::MediaTime::make(1, 30);
    if (sink_) properties.sinkBufferQueueSize = 4;
    return properties;
  }
  void setStreamProperties(const camera::ExtensionStreamProperties&) override {}
  bool authorizedToStartStream(const camera::ExtensionClientRef&) override {
    return camera_.options_.authorizesClients;
  }
  void startStream() override {
    if (!sink_) return;
    ++camera_.sinkStarts_;
    if (!camera_.options_.takesBuffers) return;
    for (const auto& client : camera_.sinkStream_->streamingClients()) camera_.consumeFrom(client);
  }
  void stopStream() override {
    if (sink_) ++camera_.sinkStops_;
  }

 private:
  FakeCamera& camera_;
  const bool sink_;
};

FakeCamera::FakeCamera(camera::CameraHost& host) : FakeCamera(host, Options{}) {}

FakeCamera::FakeCamera(camera::CameraHost& host, Options options)
    : host_(host),
      options_(std::move(options)),
      providerSource_(std::make_unique<ProviderSource>()),
      deviceSource_(std::make_unique<DeviceSource>()),
      outputSource_(std::make_unique<StreamSource>(*this, false)),
      sinkSource_(std::make_unique<StreamSource>(*this, true)) {
  provider_ = camera::ExtensionProvider::create(*providerSource_);
  auto device = camera::ExtensionDevice::create(
      options_.name, *camera::Uuid::parse("0B1D2E3F-4A5B-4C6D-8E7F-901A2B3C4D5E"), options_.uid,
      *deviceSource_);
  device->addStream(camera::ExtensionStream::create(
      options_.name, *camera::Uuid::parse("1C2D3E4F-5A6B-4C7D-8E9F-A0B1C2D3E4F5"),
      camera::StreamDirection::Source, camera::StreamClockType::HostTime, *outputSource_));
  sinkStream_ = camera::ExtensionStream::create(
      options_.name + " Sink", *camera::Uuid::parse("2D3E4F5A-6B7C-4D8E-9FA0-B1C2D3E4F5A6"),
      camera::StreamDirection::Sink, camera::StreamClockType::HostTime, *sinkSource_);
  device->addStream(sinkStream_);
  provider_->addDevice(device);
}

FakeCamera::~FakeCamera() {
  withdraw();
}

void FakeCamera::publish() {
  host_.startService(provider_);
  published_ = true;
}

void FakeCamera::withdraw() {
  if (!published_) return;
  host_.stopService(provider_);
  published_ = false;
}

void FakeCamera::consumeFrom(const camera::ExtensionClientRef& client) {
  sinkStream_->consumeSampleBuffer(
      client,
      [this, client](media::SampleBufferRef buffer, uint64_t, camera::StreamDiscontinuityFlags,
                     bool, std::optional<camera::ExtensionError> error) {
        if (!error && buffer) {
          took(std::move(buffer));
          consumeFrom(client);
          return;
        }
        // A time-out while the client still streams: ask again. Otherwise the client is gone.
        for (const camera::ExtensionClientRef& streaming : sinkStream_->streamingClients()) {
          if (streaming == client) consumeFrom(client);
        }
      });
}

void FakeCamera::took(media::SampleBufferRef buffer) {
  std::lock_guard lock(takenMutex_);
  ++takenCount_;
  if (options_.keepsTaken) taken_.push_back(std::move(buffer));
  takenChanged_.notify_all();
}

std::vector<media::SampleBufferRef> FakeCamera::taken() const {
  std::lock_guard lock(takenMutex_);
  return taken_;
}

std::size_t FakeCamera::takenCount() const {
  std::lock_guard lock(takenMutex_);
  return takenCount_;
}

bool FakeCamera::waitForTaken(std::size_t count) const {
  std::unique_lock lock(takenMutex_);
  return takenChanged_.wait_for(lock, std::chrono::seconds(5),
                                [&] { return takenCount_ >= count; });
}

}  // namespace camd::testing
