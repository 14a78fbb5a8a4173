#pragma once

#include <memory>
#include <vector>

#include "platform/camera/extension_objects.h"
#include "platform/camera/pipewire/publisher/published_node.h"
#include "platform/camera/pipewire/shared/daemon_connection.h"
#include "platform/camera/pipewire/shared/pipewire_loop.h"
#include "platform/camera/pipewire/shared/registry_view.h"
#include "platform/dispatch/clock.h"
#include "platform/dispatch/serial_queue.h"

namespace platform::camera::pipewire {

// One provider published on PipeWire: a connection of its own that comes back with the daemon,
// a node per stream, and the registry's links routed to the nodes they touch. A link to a node
// that fails (a peer that takes none of the node's formats) is said once on standard error and
// dropped, so that its client stops. Its callback queue makes every call into the provider's
// sources and every consume answer. Made and withdrawn on any thread but the loop thread.
class CameraPublisher {
 public:
  CameraPublisher(PipeWireLoop& loop, std::shared_ptr<ExtensionProvider> provider,
                  std::shared_ptr<dispatch::Clock> clock);
  ~CameraPublisher();  // withdraws
  CameraPublisher(const CameraPublisher&) = delete;
  CameraPublisher& operator=(const CameraPublisher&) = delete;

  // Drops the nodes; streaming clients stop, waiting consume requests are answered with an
  // error, and every call into the sources has returned when this returns. Idempotent.
  void withdraw();

 private:
  // A published stream's node, with what its properties are read from.
  struct Published {
    std::shared_ptr<PublishedNode> node;
    std::shared_ptr<ExtensionDevice> device;
    int index = 0;  // in the device's list of streams
  };

  // Loop thread.
  void connected(pw_core* core);
  void lost();
  void linkAdded(const RegistryView::Link& link);
  void linkFailed(const RegistryView::Link& link);
  void linkRemoved(const RegistryView::Link& link);

  PipeWireLoop& loop_;
  const std::shared_ptr<ExtensionProvider> provider_;
  dispatch::SerialQueue callbacks_;
  std::vector<Published> published_;
  std::unique_ptr<RegistryView> registry_ QLN_GUARDED_BY(loopConfinement);  // while connected
  std::unique_ptr<DaemonConnection> connection_;  // made and dropped under the loop's lock
  bool withdrawn_ = false;
};

}  // namespace platform::camera::pipewire
