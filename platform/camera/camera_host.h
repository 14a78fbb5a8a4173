#pragma once

#include <algorithm>
#include <cstdint>
#include <memory>
#include <optional>

#include "platform/camera/extension_objects.h"
#include "platform/camera/hardware.h"

namespace platform::camera {

// How long a consume request waits for a buffer before it is answered with an error.
inline constexpr uint64_t kConsumeTimeoutNanos = 1'000'000'000;

// Capacity of a client's queue on an output stream; also on a sink stream that advertises no
// usable size.
inline constexpr int32_t kDefaultQueueCapacity = 4;
// An advertised sink queue size above this is clamped to it.
inline constexpr int32_t kMaxQueueCapacity = 64;

// Capacity of a client's queue on a sink stream that advertises `advertised`.
inline int32_t sinkQueueCapacity(std::optional<int64_t> advertised) {
  if (!advertised || *advertised < 1) return kDefaultQueueCapacity;
  return static_cast<int32_t>(std::min<int64_t>(*advertised, kMaxQueueCapacity));
}

// A camera host: it publishes camera extensions' providers and lets applications find and use
// their devices. Each program creates the host it runs against in main() and hands it down; no
// process-wide instance exists. Thread-safe.
class CameraHost {
 public:
  virtual ~CameraHost() = default;

  // Extension side (CMIOExtensionProvider's startService): publishes the provider's devices and
  // streams so that clients see them, and returns. Every publication gives them new object IDs;
  // publishing a published provider changes nothing.
  virtual void startService(const std::shared_ptr<ExtensionProvider>& provider) = 0;
  // Withdraws the provider: its devices vanish from the object tree, streaming clients are
  // stopped, pending consume requests complete with an error. Returns after the host's last call
  // into the provider's sources and completions has returned.
  virtual void stopService(const std::shared_ptr<ExtensionProvider>& provider) = 0;

  // Client side: a new application connection with its own identity.
  virtual std::shared_ptr<HardwareClient> connect() = 0;
};

// The operating system's camera host (on Linux the PipeWire daemon named by the environment).
// Never fails: while the daemon cannot be reached the host keeps trying and its clients see an
// empty object tree.
std::unique_ptr<CameraHost> createSystemCameraHost();

}  // namespace platform::camera
