#pragma once

#include <atomic>

#include "platform/camera/host_connection.h"
#include "platform/camera/host_runtime.h"

namespace platform::camera {

// A client's connection to the host runtime of its own process, by direct calls: a new client
// identity attached at construction and detached by close() or destruction. Thread-safe; each
// call runs on the caller's thread and waits for the host's callback queue.
class InProcessConnection final : public HostConnection {
 public:
  explicit InProcessConnection(HostRuntime& runtime);
  ~InProcessConnection() override;

  PropertyResult readProperty(ObjectID object, uint32_t selector) override;
  Status writeProperty(ObjectID object, uint32_t selector,
                       const std::vector<uint8_t>& data) override;
  Status copyBufferQueue(ObjectID stream, std::function<void()> queueAltered,
                         media::SimpleQueueRef* queue) override;
  Status startStream(ObjectID device, ObjectID stream) override;
  Status stopStream(ObjectID device, ObjectID stream) override;
  void close() override;

 private:
  HostRuntime& runtime_;  // the process runtime, never destroyed
  const ExtensionClientRef client_;
  std::atomic<bool> closed_{false};
};

}  // namespace platform::camera
