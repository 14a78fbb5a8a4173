#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/base/mutex.h"
#include "platform/camera/extension_sources.h"
#include "platform/camera/extension_types.h"
#include "platform/media/sample_buffer.h"

// The objects a camera extension creates and hands to a camera host (CMIOExtensionProvider,
// CMIOExtensionDevice, CMIOExtensionStream). Each refers to its source without owning it: the
// source owns the object and outlives its service (stopService() returns only after the host's
// last call into the sources). All methods are thread-safe.
namespace platform::camera {

// Completes one consume request: a buffer (hasMoreSampleBuffers: more are waiting) or an error.
using ConsumeCompletion =
    std::function<void(media::SampleBufferRef sampleBuffer, uint64_t sequenceNumber,
                       StreamDiscontinuityFlags discontinuity, bool hasMoreSampleBuffers,
                       std::optional<ExtensionError> error)>;

// What the host that published a stream does for it; the stream forwards to it while published.
// Implemented by each camera host; every method may be called from any thread.
class StreamEndpoint {
 public:
  virtual ~StreamEndpoint() = default;
  virtual void send(media::SampleBufferRef sampleBuffer, uint64_t hostTimeInNanoseconds) = 0;
  virtual void consume(const ExtensionClientRef& client, ConsumeCompletion completion) = 0;
  virtual void notifyScheduledOutputChanged(const ExtensionScheduledOutput& output) = 0;
  virtual std::vector<ExtensionClientRef> streamingClients() const = 0;
};

class ExtensionStream {
 public:
  // Never fails.
  static std::shared_ptr<ExtensionStream> create(std::string localizedName, Uuid streamID,
                                                 StreamDirection direction,
                                                 StreamClockType clockType,
                                                 ExtensionStreamSource& source);
  ExtensionStream(std::string localizedName, Uuid streamID, StreamDirection direction,
                  ExtensionStreamSource& source);
  ExtensionStream(const ExtensionStream&) = delete;
  ExtensionStream& operator=(const ExtensionStream&) = delete;

  const std::string& localizedName() const { return localizedName_; }
  const Uuid& streamID() const { return streamID_; }
  StreamDirection direction() const { return direction_; }
  ExtensionStreamSource& source() const { return source_; }

  // Output streams: hands the buffer to every streaming client and returns at once; a client
  // that is slow loses frames, never the others. Dropped while the stream is not published.
  void sendSampleBuffer(media::SampleBufferRef sampleBuffer, StreamDiscontinuityFlags discontinuity,
                        uint64_t hostTimeInNanoseconds);

  // Sink streams: asks for the next buffer the client enqueued. The completion runs exactly once
  // on a host thread: with a buffer as soon as there is one, with an error when none comes
  // within the host's consume timeout (1 s), or at once when the client is not streaming on this
  // stream or has gone. On a stream that is not published it runs at once on the caller's thread.
  void consumeSampleBuffer(const ExtensionClientRef& client, ConsumeCompletion completion);

  // Sink streams: tells the client that a buffer was taken.
  void notifyScheduledOutputChanged(const ExtensionScheduledOutput& output);

  // The clients currently streaming on this stream, in the order they started.
  std::vector<ExtensionClientRef> streamingClients() const;

  // Host side: the host that publishes the stream binds its endpoint; null unbinds. Once
  // unbound, nothing reaches the former host.
  void bindEndpoint(std::shared_ptr<StreamEndpoint> endpoint);
  // Host side: claims the stream for one device; false when another device claimed it first.
  bool claim() { return !claimed_.exchange(true); }

 private:
  const std::string localizedName_;
  const Uuid streamID_;
  const StreamDirection direction_;
  ExtensionStreamSource& source_;  // owns this stream and outlives its service
  // The endpoint of the host that publishes the stream. Read on every frame by the sender's
  // thread: a plain mutex, since ThreadSanitizer cannot see the lock inside libstdc++'s
  // atomic shared_ptr.
  std::shared_ptr<StreamEndpoint> endpoint() const;
  std::atomic<bool> claimed_{false};
  mutable base::Mutex endpointMutex_;
  std::shared_ptr<StreamEndpoint> endpoint_ QLN_GUARDED_BY(endpointMutex_);
};

class ExtensionDevice {
 public:
  // Never fails. The legacy device ID is the UID that hardware-object clients read.
  static std::shared_ptr<ExtensionDevice> create(std::string localizedName, Uuid deviceID,
                                                 std::optional<std::string> legacyDeviceID,
                                                 ExtensionDeviceSource& source);
  ExtensionDevice(std::string localizedName, Uuid deviceID,
                  std::optional<std::string> legacyDeviceID, ExtensionDeviceSource& source);
  ExtensionDevice(const ExtensionDevice&) = delete;
  ExtensionDevice& operator=(const ExtensionDevice&) = delete;

  const std::string& localizedName() const { return localizedName_; }
  // The UID clients read: the legacy device ID, else the device ID's text.
  std::string uid() const { return legacyDeviceID_.value_or(deviceID_.toString()); }
  ExtensionDeviceSource& source() const { return source_; }

  // Adds a stream; streams are listed in the order added. Refuses (with an error) a stream that
  // is already added here or to another device.
  std::optional<ExtensionError> addStream(std::shared_ptr<ExtensionStream> stream);
  std::vector<std::shared_ptr<ExtensionStream>> streams() const;

  // Host side: claims the device for one provider; false when another provider claimed it first.
  bool claim() { return !claimed_.exchange(true); }

 private:
  const std::string localizedName_;
  const Uuid deviceID_;
  const std::optional<std::string> legacyDeviceID_;
  ExtensionDeviceSource& source_;  // owns this device and outlives its service
  std::atomic<bool> claimed_{false};
  mutable base::Mutex mutex_;
  std::vector<std::shared_ptr<ExtensionStream>> streams_ QLN_GUARDED_BY(mutex_);
};

class ExtensionProvider {
 public:
  // Never fails.
  static std::shared_ptr<ExtensionProvider> create(ExtensionProviderSource& source);
  explicit ExtensionProvider(ExtensionProviderSource& source) : source_(source) {}
  ExtensionProvider(const ExtensionProvider&) = delete;
  ExtensionProvider& operator=(const ExtensionProvider&) = delete;

  ExtensionProviderSource& source() const { return source_; }
  // Refuses (with an error) a device already added here or to another provider.
  std::optional<ExtensionError> addDevice(std::shared_ptr<ExtensionDevice> device);
  std::vector<std::shared_ptr<ExtensionDevice>> devices() const;

 private:
  ExtensionProviderSource& source_;  // owns this provider and outlives its service
  mutable base::Mutex mutex_;
  std::vector<std::shared_ptr<ExtensionDevice>> devices_ QLN_GUARDED_BY(mutex_);
};

}  // namespace platform::camera
