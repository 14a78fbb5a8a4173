#pragma once

#include <memory>
#include <string>

#include "platform/camera/pipewire/shared/daemon_connection.h"
#include "platform/camera/pipewire/shared/pipewire_loop.h"
#include "platform/camera/pipewire/shared/registry_view.h"

namespace platform::camera::testing {

// A PipeWire client of the test's own beside the camera host, with a connection and a registry
// on a loop of their own as another process has: for peers that break the rules, made from the
// client's own stream classes.
class PipeWirePeer {
 public:
  explicit PipeWirePeer(const std::string& name);
  ~PipeWirePeer();

  // The node of a published camera stream of that direction ("0": sink, "1": output) whose
  // device has that UID; 0 when none shows within a few seconds.
  uint32_t waitForNode(const std::string& direction, const std::string& deviceUID);

  pipewire::PipeWireLoop loop;
  pipewire::DaemonConnection connection;
  std::unique_ptr<pipewire::RegistryView> registry QLN_GUARDED_BY(pipewire::loopConfinement);
};

}  // namespace platform::camera::testing
