#include <memory>

#include "extension/provider_source.h"
#include "platform/camera/extension_objects.h"
#include "platform/dispatch/main_loop.h"

// Builds the camera once, publishes it to the camera host and hands the main thread to the
// platform for the life of the process; the host calls in on its own threads from then on.
int main() {
  static const auto providerSource = std::make_unique<quillane::ProviderSource>();
  platform::camera::ExtensionProvider::startService(providerSource->provider());
  platform::dispatch::runMainLoop();
}
