#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "platform/dispatch/clock.h"
#include "platform/media/simple_queue.h"
#include "platform/media/status.h"

// The clients' side of the camera host (CoreMediaIO's hardware-object interface): the object
// tree, property reads and writes, stream buffer queues, start and stop. What applications,
// the control tool and the viewer use. Thread-safe.
namespace platform::camera {

using ObjectID = uint32_t;
constexpr ObjectID kObjectUnknown = 0;
constexpr ObjectID kSystemObject = 1;

using media::FourCC;
using media::fourCC;
using media::Status;

struct PropertyAddress {
  uint32_t selector = 0;
  uint32_t scope = fourCC("glob");
  uint32_t element = 0;
};

// Selectors. Array properties are packed 32-bit object IDs; string properties are one owned
// StringRef (8 bytes; release with releaseString()); 32-bit properties are 4 bytes.
namespace selector {
constexpr uint32_t kDevices = fourCC("dev#");        // system: device IDs
constexpr uint32_t kStreams = fourCC("stm#");        // device: stream IDs
constexpr uint32_t kDeviceUID = fourCC("uid ");      // device: string
constexpr uint32_t kName = fourCC("lnam");           // device, stream: string
constexpr uint32_t kModel = fourCC("lmod");          // device: string
constexpr uint32_t kTransportType = fourCC("tran");  // device: uint32
constexpr uint32_t kIsRunningSomewhere =
    fourCC("gone");  // device: uint32, non-zero while any stream runs
constexpr uint32_t kDirection =
    fourCC("sdir");  // stream: uint32, 0 = takes data into the device (sink)
constexpr uint32_t kFormats = fourCC("pfta");            // stream: StreamFormatInfo[]
constexpr uint32_t kActiveFormatIndex = fourCC("afmi");  // stream: uint32, settable
constexpr uint32_t kFrameDuration = fourCC("fdur");      // stream: FrameDurationInfo, settable
}  // namespace selector

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

// Status codes of the hardware-object interface.
namespace status {
constexpr Status kNoError = 0;
constexpr Status kBadObject = static_cast<Status>(fourCC("!obj"));
constexpr Status kUnknownProperty = static_cast<Status>(fourCC("who?"));
constexpr Status kBadPropertySize = static_cast<Status>(fourCC("!siz"));
constexpr Status kIllegalOperation = static_cast<Status>(fourCC("nope"));
constexpr Status kNotRunning = static_cast<Status>(fourCC("stop"));
}  // namespace status

// An owned string returned by a string property.
struct OwnedString;
using StringRef = OwnedString*;
std::string stringText(StringRef string);
void releaseString(StringRef string);

// Called by the host when a stream's buffer queue was altered (a buffer arrived in an output
// queue, or was taken from a sink queue). Runs on a host thread.
using QueueAlteredProc = void (*)(ObjectID streamID, void* token, void* refCon);

// One application's connection to the camera host (a CMIOExtensionClient as the extension sees
// it). Streams it started stop when it disconnects or is destroyed, as when a process exits.
class HardwareClient {
 public:
  // A new client with its own identity.
  static std::shared_ptr<HardwareClient> connect();
  // The client the free functions below use: this process's own connection.
  static HardwareClient& processDefault();

  virtual ~HardwareClient() = default;

  // Property reads and writes. The scope, element and qualifier are not looked at. Status:
  // kBadObject for an unknown object, kUnknownProperty for a selector the object lacks,
  // kBadPropertySize for a value that does not fit (lists copy the entries that fit instead),
  // kIllegalOperation for a missing pointer, a read-only property, a refused or ended client.
  virtual Status getPropertyDataSize(ObjectID object, const PropertyAddress& address,
                                     uint32_t qualifierSize, const void* qualifier,
                                     uint32_t* dataSize) = 0;
  virtual Status getPropertyData(ObjectID object, const PropertyAddress& address,
                                 uint32_t qualifierSize, const void* qualifier, uint32_t dataSize,
                                 uint32_t* dataUsed, void* data) = 0;
  virtual Status setPropertyData(ObjectID object, const PropertyAddress& address,
                                 uint32_t qualifierSize, const void* qualifier, uint32_t dataSize,
                                 const void* data) = 0;

  // The client's buffer queue of a stream. For a sink stream the client enqueues into it
  // (capacity: the stream's sink buffer queue size); for an output stream the host fills it with
  // sent frames, dropping the oldest when the client is slow. A second call returns the same
  // queue and replaces the callback.
  virtual Status streamCopyBufferQueue(ObjectID stream, QueueAlteredProc proc, void* refCon,
                                       media::SimpleQueueRef* queue) = 0;
  // Start and stop. A start of a stream the client already runs succeeds without effect. Status:
  // kBadObject for unknown IDs, kIllegalOperation for a stream of another device, a refused or
  // ended client; kNotRunning for a stop of a stream the client does not run.
  virtual Status deviceStartStream(ObjectID device, ObjectID stream) = 0;
  virtual Status deviceStopStream(ObjectID device, ObjectID stream) = 0;

  // Ends the connection now, as if the process had died.
  virtual void disconnect() = 0;
};

// The hardware-object interface on this process's own connection (CMIOObjectGetPropertyDataSize,
// CMIOObjectGetPropertyData, CMIOObjectSetPropertyData, CMIOStreamCopyBufferQueue,
// CMIODeviceStartStream, CMIODeviceStopStream).
Status objectGetPropertyDataSize(ObjectID object, const PropertyAddress& address,
                                 uint32_t qualifierSize, const void* qualifier, uint32_t* dataSize);
Status objectGetPropertyData(ObjectID object, const PropertyAddress& address,
                             uint32_t qualifierSize, const void* qualifier, uint32_t dataSize,
                             uint32_t* dataUsed, void* data);
Status objectSetPropertyData(ObjectID object, const PropertyAddress& address,
                             uint32_t qualifierSize, const void* qualifier, uint32_t dataSize,
                             const void* data);
Status streamCopyBufferQueue(ObjectID stream, QueueAlteredProc proc, void* refCon,
                             media::SimpleQueueRef* queue);
Status deviceStartStream(ObjectID device, ObjectID stream);
Status deviceStopStream(ObjectID device, ObjectID stream);

// The clock the host measures its timeouts on (consume timeout); default dispatch::hostClock().
// Tests set a ManualClock; requests already waiting are re-armed on the new clock.
void setHostClock(std::shared_ptr<dispatch::Clock> clock);

}  // namespace platform::camera
