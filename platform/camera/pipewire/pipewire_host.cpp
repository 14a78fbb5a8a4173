#include <map>
#include <memory>

#include "platform/base/mutex.h"
#include "platform/camera/camera_host.h"
#include "platform/camera/pipewire/client/pipewire_client.h"
#include "platform/camera/pipewire/publisher/camera_publisher.h"
#include "platform/camera/pipewire/shared/pipewire_loop.h"
#include "platform/dispatch/clock.h"

namespace platform::camera {
namespace {

// The camera host on Linux: PipeWire. Providers become nodes on connections of their own;
// clients are connections of their own. Every connection runs on one loop thread per host.
class PipeWireCameraHost final : public CameraHost {
 public:
  ~PipeWireCameraHost() override {
    std::map<const ExtensionProvider*, std::unique_ptr<pipewire::CameraPublisher>> published;
    {
      base::MutexLock lock(mutex_);
      published.swap(publishers_);
    }
  }

  void startService(const std::shared_ptr<ExtensionProvider>& provider) override {
    if (!provider) return;
    base::MutexLock lock(mutex_);
    if (publishers_.count(provider.get()) != 0) return;
    publishers_[provider.get()] =
        std::make_unique<pipewire::CameraPublisher>(loop_, provider, clock_);
  }

  void stopService(const std::shared_ptr<ExtensionProvider>& provider) override {
    std::unique_ptr<pipewire::CameraPublisher> publisher;
    {
      base::MutexLock lock(mutex_);
      auto found = publishers_.find(provider.get());
      if (found == publishers_.end()) return;
      publisher = std::move(found->second);
      publishers_.erase(found);
    }
    publisher->withdraw();
  }

  std::shared_ptr<HardwareClient> connect() override {
    auto client = std::make_shared<pipewire::PipeWireClient>(loop_, clock_);
    client->start();
    return client;
  }

 private:
  pipewire::PipeWireLoop loop_;  // declared first: every connection goes before it
  const std::shared_ptr<dispatch::Clock> clock_ = dispatch::hostClock();
  base::Mutex mutex_;
  std::map<const ExtensionProvider*, std::unique_ptr<pipewire::CameraPublisher>> publishers_
      QLN_GUARDED_BY(mutex_);
};

}  // namespace

std::unique_ptr<CameraHost> createSystemCameraHost() {
  return std::make_unique<PipeWireCameraHost>();
}

}  // namespace platform::camera
