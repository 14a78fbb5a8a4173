#include "tests/platform/camera/pipewire_peer.h"

#include <chrono>
#include <thread>

#include "platform/camera/pipewire/shared/camera_node_keys.h"

namespace platform::camera::testing {

using pipewire::PipeWireLoop;

PipeWirePeer::PipeWirePeer(const std::string& name)
    : connection(loop, name,
                 {[this](pw_core* core) {
                    loop.assertConfined();
                    registry = std::make_unique<pipewire::RegistryView>(loop, core);
                  },
                  [this] {
                    loop.assertConfined();
                    registry.reset();
                  }},
                 /*reportFailures=*/false) {
  {
    PipeWireLoop::Lock lock(loop);
    connection.start();
  }
  connection.awaitFirstTry();
}

PipeWirePeer::~PipeWirePeer() {
  PipeWireLoop::Lock lock(loop);
  connection.stop();
}

uint32_t PipeWirePeer::waitForNode(const std::string& direction, const std::string& deviceUID) {
  const auto listed = [&]() -> uint32_t {
    PipeWireLoop::Lock lock(loop);
    if (!registry) return 0;
    for (const auto& [id, node] : registry->nodes()) {
      const pipewire::Properties& properties = node.properties;
      if (pipewire::propertyOf(properties, pipewire::keys::kStreamDirection) == direction &&
          pipewire::propertyOf(properties, pipewire::keys::kDeviceUID) == deviceUID) {
        return id;
      }
    }
    return 0;
  };
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  uint32_t node = 0;
  while ((node = listed()) == 0 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return node;
}

}  // namespace platform::camera::testing
