#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <variant>
#include <vector>

#include "platform/media/pixel_buffer.h"
#include "platform/media/simple_queue.h"
#include "platform/media/status.h"

// The clients' side of a camera host (CoreMediaIO's hardware-object interface): the object tree,
// typed property reads and writes, stream buffer queues, start and stop. What applications, the
// control tool and the viewer use.
namespace platform::camera {

using ObjectID = uint32_t;
constexpr ObjectID kObjectUnknown = 0;
constexpr ObjectID kSystemObject = 1;

using media::FourCC;
using media::fourCC;
using media::Status;

// Where a property is read: its selector; scope and element are carried but not looked at.
struct PropertyAddress {
  uint32_t selector = 0;
  uint32_t scope = fourCC("glob");
  uint32_t element = 0;
};

// One entry of a stream's kFormats property.
struct StreamFormatInfo {
  uint32_t pixelFormat;
  int32_t width;
  int32_t height;
  int32_t minFrameDurationValue;
  int32_t minFrameDurationTimescale;
};

// The value of kFrameDuration.
struct FrameDurationInfo {
  int64_t value;
  int32_t timescale;
  uint32_t valid;
};

// A property's value: none, object IDs, text, a 32-bit value, formats, or a frame duration.
using PropertyValue = std::variant<std::monostate, std::vector<ObjectID>, std::string, uint32_t,
                                   std::vector<StreamFormatInfo>, FrameDurationInfo>;

// Selectors and the value each carries.
namespace selector {
constexpr uint32_t kDevices = fourCC("dev#");        // system: object IDs of the devices
constexpr uint32_t kStreams = fourCC("stm#");        // device: object IDs of its streams
constexpr uint32_t kDeviceUID = fourCC("uid ");      // device: text
constexpr uint32_t kName = fourCC("lnam");           // device, stream: text
constexpr uint32_t kModel = fourCC("lmod");          // device: text
constexpr uint32_t kTransportType = fourCC("tran");  // device: uint32
constexpr uint32_t kManufacturer = fourCC("lmak");   // device: text, its provider's manufacturer
constexpr uint32_t kProviderName = fourCC("pnam");   // device: text, the name of its provider
constexpr uint32_t kIsRunningSomewhere =
    fourCC("gone");  // device: uint32, non-zero while any stream runs
constexpr uint32_t kDirection =
    fourCC("sdir");  // stream: uint32, 0 = takes data into the device (sink)
constexpr uint32_t kFormats = fourCC("pfta");            // stream: StreamFormatInfo list
constexpr uint32_t kActiveFormatIndex = fourCC("afmi");  // stream: uint32, settable
constexpr uint32_t kFrameDuration = fourCC("fdur");      // stream: FrameDurationInfo, settable
// What a sink stream advertises to the clients that push into it, each a uint32.
constexpr uint32_t kSinkBufferQueueSize = fourCC("obqs");
constexpr uint32_t kSinkBuffersRequiredForStartup = fourCC("obrs");
constexpr uint32_t kSinkBufferUnderrunCount = fourCC("obuc");
constexpr uint32_t kSinkEndOfData = fourCC("pend");
}  // namespace selector

// Status codes of the hardware-object interface.
namespace status {
constexpr Status kNoError = 0;
constexpr Status kBadObject = static_cast<Status>(fourCC("!obj"));
constexpr Status kUnknownProperty = static_cast<Status>(fourCC("who?"));
constexpr Status kBadPropertySize = static_cast<Status>(fourCC("!siz"));
constexpr Status kIllegalOperation = static_cast<Status>(fourCC("nope"));
constexpr Status kNotRunning = static_cast<Status>(fourCC("stop"));
}  // namespace status

struct PropertyResult {
  Status status = status::kNoError;
  PropertyValue value;

  static PropertyResult of(PropertyValue read);
  static PropertyResult failed(Status why);

  // The value of a successful read when it has type Value; null otherwise.
  template <typename Value>
  const Value* valueIf() const {
    return status == status::kNoError ? std::get_if<Value>(&value) : nullptr;
  }
};

// One application's connection to a camera host (a CMIOExtensionClient as the extension sees
// it). Streams it started stop when it disconnects or is destroyed, as when a process exits.
// Thread-safe: methods may be called from any thread, also from a queue-altered callback, and
// block until the host has answered.
class HardwareClient {
 public:
  virtual ~HardwareClient() = default;

  // Status: kBadObject for an unknown object, kUnknownProperty for a selector the object lacks,
  // kIllegalOperation for a refused or ended client.
  virtual PropertyResult readProperty(ObjectID object, const PropertyAddress& address) = 0;
  // Additionally kBadPropertySize for a value of the wrong type, kIllegalOperation for a
  // read-only property.
  virtual Status writeProperty(ObjectID object, const PropertyAddress& address,
                               const PropertyValue& value) = 0;

  // The client's buffer queue of a stream. For a sink stream the client enqueues into it
  // (capacity: the stream's advertised sink buffer queue size); for an output stream the host
  // fills it with sent frames, dropping the oldest when the client is slow. `queueAltered` runs on
  // a host thread whenever the host altered the queue. A second call returns the same queue and
  // replaces the callback.
  virtual Status copyBufferQueue(ObjectID stream, std::function<void()> queueAltered,
                                 media::SimpleQueueRef* queue) = 0;

  // A picture to fill for a sample the client will enqueue into the sink `stream` it started:
  // `width` × `height` in 32BGRA, in memory the camera reads where it lies (on PipeWire one of the
  // link's buffers; on macOS it would come from an IOSurface-backed pool), so that the frame is
  // written once on its way in. nullptr when none is free now or the stream is not running: the
  // frame is dropped. A host that shares no memory with the camera makes a new picture.
  virtual media::PixelBufferRef pictureToFill(ObjectID stream, int width, int height);

  // Start and stop. A start of a stream the client already runs succeeds without effect. Status:
  // kBadObject for unknown IDs, kIllegalOperation for a stream of another device, a refused or
  // ended client; kNotRunning for a stop of a stream the client does not run.
  virtual Status startStream(ObjectID device, ObjectID stream) = 0;
  virtual Status stopStream(ObjectID device, ObjectID stream) = 0;

  // Ends the connection now, as if the process had died: the host stops the client's streams.
  // Later calls fail; idempotent.
  virtual void disconnect() = 0;
};

}  // namespace platform::camera
