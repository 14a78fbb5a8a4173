#include "platform/camera/in_process_connection.h"

namespace platform::camera {

InProcessConnection::InProcessConnection(HostRuntime& runtime)
    : runtime_(runtime), client_(runtime.attachClient()) {}

InProcessConnection::~InProcessConnection() {
  close();
}

PropertyResult InProcessConnection::readProperty(ObjectID object, uint32_t selector) {
  return runtime_.readProperty(client_, object, selector);
}

Status InProcessConnection::writeProperty(ObjectID object, uint32_t selector,
                                          const std::vector<uint8_t>& data) {
  return runtime_.writeProperty(client_, object, selector, data);
}

Status InProcessConnection::copyBufferQueue(ObjectID stream, std::function<void()> queueAltered,
                                            media::SimpleQueueRef* queue) {
  return runtime_.copyBufferQueue(client_, stream, std::move(queueAltered), queue);
}

Status InProcessConnection::startStream(ObjectID device, ObjectID stream) {
  return runtime_.startStream(client_, device, stream);
}

Status InProcessConnection::stopStream(ObjectID device, ObjectID stream) {
  return runtime_.stopStream(client_, device, stream);
}

void InProcessConnection::close() {
  if (!closed_.exchange(true)) runtime_.detachClient(client_);
}

}  // namespace platform::camera
