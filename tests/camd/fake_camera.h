#pragma once

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "camd/quillane_camera.h"
#include "formats/camera_identity.h"
#include "platform/camera/camera_host.h"
#include "platform/camera/extension_objects.h"
#include "platform/camera/extension_sources.h"

namespace camd::testing {

// A camera provider in this process, served by a camera host like the real extension: one
// device with the camera's UID, an output stream and a sink stream that advertises a sink buffer
// queue size of 4 and, when told to, takes every buffer a client enqueues. Thread-safe: the host
// calls the sources on its own threads.
class FakeCamera {
 public:
  struct Options {
    std::string uid = quillane::camera_identity::kDeviceUID;
    std::string name = "Quillane Camera";
    bool takesBuffers = true;       // false: the sink queue fills up and stays full
    bool authorizesClients = true;  // false: starting the sink stream is refused
    bool keepsTaken = true;         // false: counts the buffers it takes and lets them go
  };

  explicit FakeCamera(platform::camera::CameraHost& host);
  FakeCamera(platform::camera::CameraHost& host, Options options);
  ~FakeCamera();  // withdraws

  // Publishes the provider; each publication gives the device and streams new object IDs.
  void publish();
  // Withdraws the provider: the device vanishes from the object tree.
  void withdraw();

  // Buffers the sink stream took so far (none kept unless keepsTaken), and how many.
  std::vector<platform::media::SampleBufferRef> taken() const;
  std::size_t takenCount() const;
  // Waits until the sink stream has taken `count` buffers; false after 5 s.
  bool waitForTaken(std::size_t count) const;
  int sinkStarts() const { return sinkStarts_; }
  int sinkStops() const { return sinkStops_; }

 private:
  class ProviderSource;
  class DeviceSource;
  class StreamSource;

  // Asks the host for the client's next buffer, and again after each one while it streams.
  void consumeFrom(const platform::camera::ExtensionClientRef& client);
  void took(platform::media::SampleBufferRef buffer);

  platform::camera::CameraHost& host_;
  Options options_;
  std::unique_ptr<ProviderSource> providerSource_;
  std::unique_ptr<DeviceSource> deviceSource_;
  std::unique_ptr<StreamSource> outputSource_;
  std::unique_ptr<StreamSource> sinkSource_;
  std::shared_ptr<platform::camera::ExtensionProvider> provider_;
  std::shared_ptr<platform::camera::ExtensionStream> sinkStream_;
  bool published_ = false;

  mutable std::mutex takenMutex_;
  mutable std::condition_variable takenChanged_;
  std::vector<platform::media::SampleBufferRef> taken_;  // guarded by takenMutex_
  std::size_t takenCount_ = 0;                           // guarded by takenMutex_
  std::atomic<int> sinkStarts_{0};
  std::atomic<int> sinkStops_{0};
};

}  // namespace camd::testing
