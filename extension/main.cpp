#include <memory>

#include "extension/provider_source.h"
#include "platform/camera/camera_host.h"
#include "platform/dispatch/main_loop.h"

// Builds the camera once, publishes it to the system's camera host and parks the main thread
// while the host calls in on its own threads. SIGTERM or SIGINT withdraws the camera from the
// host and ends the process with status 0.
int main() {
  platform::dispatch::MainLoop mainLoop;
  const std::unique_ptr<platform::camera::CameraHost> host =
      platform::camera::createSystemCameraHost();
  const auto providerSource = std::make_unique<quillane::ProviderSource>();
  host->startService(providerSource->provider());
  mainLoop.run();
  host->stopService(providerSource->provider());
  return 0;
}
