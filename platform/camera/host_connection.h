#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <variant>
#include <vector>

#include "platform/camera/hardware.h"
#include "platform/media/simple_queue.h"

// What one client can ask of the camera host, whatever carries the request: direct calls inside
// one process, or a socket to another. Values travel typed; the byte layout of the
// hardware-object interface (sizes, owned strings) is made on the client's side.
namespace platform::camera {

// A property's value: none, object IDs, text, a 32-bit value, formats, or a frame duration.
using PropertyValue = std::variant<std::monostate, std::vector<ObjectID>, std::string, uint32_t,
                                   std::vector<StreamFormatInfo>, FrameDurationInfo>;

struct PropertyResult {
  Status status = status::kNoError;
  PropertyValue value;
};

// One client's connection to the host. Methods are thread-safe and block until the host has
// answered; they may be called from any thread, also from a queue-altered callback.
class HostConnection {
 public:
  virtual ~HostConnection() = default;

  virtual PropertyResult readProperty(ObjectID object, uint32_t selector) = 0;
  // `data` is the property's bytes as the client wrote them; the host checks their size.
  virtual Status writeProperty(ObjectID object, uint32_t selector,
                               const std::vector<uint8_t>& data) = 0;
  // `queueAltered` runs on a host thread whenever the host altered the queue.
  virtual Status copyBufferQueue(ObjectID stream, std::function<void()> queueAltered,
                                 media::SimpleQueueRef* queue) = 0;
  virtual Status startStream(ObjectID device, ObjectID stream) = 0;
  virtual Status stopStream(ObjectID device, ObjectID stream) = 0;
  // Ends the connection: the host stops the client's streams. Later calls fail; idempotent.
  virtual void close() = 0;
};

}  // namespace platform::camera
