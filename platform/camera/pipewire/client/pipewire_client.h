#pragma once

#include <atomic>
#include <functional>
#include <map>
#include <memory>

#include "platform/base/mutex.h"
#include "platform/camera/hardware.h"
#include "platform/camera/pipewire/client/camera_tree.h"
#include "platform/camera/pipewire/client/linked_stream.h"
#include "platform/camera/pipewire/shared/daemon_connection.h"
#include "platform/camera/pipewire/shared/pipewire_loop.h"
#include "platform/camera/pipewire/shared/registry_view.h"
#include "platform/dispatch/clock.h"

namespace platform::camera::pipewire {

// One application's connection to the cameras on PipeWire: a daemon connection of its own (so
// that the daemon ends its links when it goes, as when a process dies), the object tree rebuilt
// from the registry on every read (its properties those the camera's nodes publish), a producer
// stream per started sink stream and a watcher stream per started output stream. Thread-safe: the tree and the streams are touched under the loop's
// lock, the queues under streamsMutex_.
class PipeWireClient final : public HardwareClient {
 public:
  // Arriving pictures are stamped on `clock`, and retries are timed on it.
  PipeWireClient(PipeWireLoop& loop, std::shared_ptr<dispatch::Clock> clock);
  ~PipeWireClient() override;

  // Connects and waits (briefly) until the registry has been listed, so that a first read sees
  // the cameras that are there. Returns at once when the daemon cannot be reached.
  void start();

  PropertyResult readProperty(ObjectID object, const PropertyAddress& address) override;
  Status writeProperty(ObjectID object, const PropertyAddress& address,
                       const PropertyValue& value) override;
  Status copyBufferQueue(ObjectID stream, std::function<void()> queueAltered,
                         media::SimpleQueueRef* queue) override;
  Status startStream(ObjectID device, ObjectID stream) override;
  Status stopStream(ObjectID device, ObjectID stream) override;
  void disconnect() override;

 private:
  struct QueueEntry {
    media::SimpleQueueRef queue;
    std::function<void()> queueAltered;
  };

  // Loop thread.
  void connected(pw_core* core);
  void lost();
  // The tree as the registry lists it now.
  CameraTree treeLocked() QLN_REQUIRES(loopConfinement);

  PipeWireLoop& loop_;
  const std::shared_ptr<dispatch::Clock> clock_;
  std::atomic<bool> disconnected_{false};
  std::unique_ptr<RegistryView> registry_ QLN_GUARDED_BY(loopConfinement);
  // The daemon the tree's IDs are drawn for; lost() marks that the next tree may be drawn over a
  // new connection to the same daemon.
  ObjectIDs::Daemon daemon_ QLN_GUARDED_BY(loopConfinement);
  bool lostSinceTree_ QLN_GUARDED_BY(loopConfinement) = false;
  std::map<ObjectID, std::shared_ptr<LinkedStream>> started_ QLN_GUARDED_BY(loopConfinement);
  // By output stream: the place in its formats of the one a watcher asks for.
  std::map<ObjectID, uint32_t> preferredFormat_ QLN_GUARDED_BY(loopConfinement);

  base::Mutex streamsMutex_;
  std::map<ObjectID, QueueEntry> queues_ QLN_GUARDED_BY(streamsMutex_);
  // Serialises starts, stops and the end of the connection, which wait for the daemon without
  // the loop's lock.
  base::Mutex operationsMutex_;

  // Made by start(), before any other call, and dropped by disconnect(), after the others.
  std::unique_ptr<DaemonConnection> connection_;
};

}  // namespace platform::camera::pipewire
