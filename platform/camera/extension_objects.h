#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/camera/extension_sources.h"
#include "platform/camera/extension_types.h"
#include "platform/media/sample_buffer.h"

// The objects a camera extension creates and hands to the host (CMIOExtensionProvider,
// CMIOExtensionDevice, CMIOExtensionStream). Each refers to its source without owning it: the
// source owns the object and outlives its service (stopService() returns only after the host's
// last call into the sources). All methods are thread-safe.
namespace platform::camera {

class ExtensionStream {
 public:
  // Never fails.
  static std::shared_ptr<ExtensionStream> create(std::string localizedName, Uuid streamID,
                                                 StreamDirection direction,
                                                 StreamClockType clockType,
                                                 ExtensionStreamSource& source);
  virtual ~ExtensionStream() = default;

  virtual const std::string& localizedName() const = 0;
  virtual const Uuid& streamID() const = 0;
  virtual StreamDirection direction() const = 0;
  virtual ExtensionStreamSource& source() const = 0;

  // Output streams: hands the buffer to every streaming client's queue and returns at once; a
  // client whose queue is full loses its oldest frame.
  virtual void sendSampleBuffer(media::SampleBufferRef sampleBuffer,
                                StreamDiscontinuityFlags discontinuity,
                                uint64_t hostTimeInNanoseconds) = 0;

  // Sink streams: asks for the next buffer the client enqueued. The completion runs exactly once
  // on a host thread: with a buffer as soon as there is one (hasMore: more are waiting), or with
  // an error when none comes within the host's consume timeout (1 s), or at once when the client
  // is not streaming on this stream or has gone.
  using ConsumeCompletion =
      std::function<void(media::SampleBufferRef sampleBuffer, uint64_t sequenceNumber,
                         StreamDiscontinuityFlags discontinuity, bool hasMoreSampleBuffers,
                         std::optional<ExtensionError> error)>;
  virtual void consumeSampleBuffer(const ExtensionClientRef& client,
                                   ConsumeCompletion completion) = 0;

  // Sink streams: tells the client that a buffer was taken.
  virtual void notifyScheduledOutputChanged(const ExtensionScheduledOutput& output) = 0;

  // The clients currently streaming on this stream, in the order they started.
  virtual std::vector<ExtensionClientRef> streamingClients() const = 0;
};

class ExtensionDevice {
 public:
  // Never fails. The legacy device ID is the UID that hardware-object clients read.
  static std::shared_ptr<ExtensionDevice> create(std::string localizedName, Uuid deviceID,
                                                 std::optional<std::string> legacyDeviceID,
                                                 ExtensionDeviceSource& source);
  virtual ~ExtensionDevice() = default;

  virtual const std::string& localizedName() const = 0;
  virtual const Uuid& deviceID() const = 0;
  virtual const std::optional<std::string>& legacyDeviceID() const = 0;
  virtual ExtensionDeviceSource& source() const = 0;

  // Adds a stream; streams are listed in the order added. Refuses (with an error) a stream that
  // is already added here or to another device.
  virtual std::optional<ExtensionError> addStream(std::shared_ptr<ExtensionStream> stream) = 0;
  virtual std::vector<std::shared_ptr<ExtensionStream>> streams() const = 0;
};

class ExtensionProvider {
 public:
  // Never fails.
  static std::shared_ptr<ExtensionProvider> create(ExtensionProviderSource& source);
  virtual ~ExtensionProvider() = default;

  virtual ExtensionProviderSource& source() const = 0;
  // Refuses (with an error) a device already added.
  virtual std::optional<ExtensionError> addDevice(std::shared_ptr<ExtensionDevice> device) = 0;
  virtual std::vector<std::shared_ptr<ExtensionDevice>> devices() const = 0;

  // Publishes the provider to the camera host, so clients see its devices, and returns. Every
  // publication gives the devices and streams new object IDs.
  static void startService(const std::shared_ptr<ExtensionProvider>& provider);
  // Withdraws the provider: its devices vanish from the object tree, streaming clients are
  // stopped, pending consume requests complete with an error. Returns after the host's last call
  // into the provider's sources has returned.
  static void stopService(const std::shared_ptr<ExtensionProvider>& provider);
};

}  // namespace platform::camera
