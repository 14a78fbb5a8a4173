#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>

#include "extension/stream_source_base.h"
#include "platform/media/sample_buffer.h"

namespace quillane {

// The stream frames are pushed into. While it runs, one chain of consume requests takes the
// authorised client's buffers as fast as they come, keeps only the newest with its arrival time
// for the frame clock, confirms each to the client, and counts empty answers as underruns.
// The host calls the stream methods and the consume completions on its own threads; the shared
// flags and counters are atomics; the newest frame lives on the device's frame queue only.
class SinkStreamSource : public StreamSourceBase,
                         public std::enable_shared_from_this<SinkStreamSource> {
 public:
  // Pause before asking again after an empty answer with nothing waiting.
  static constexpr uint64_t kRetryDelayNanos = 250'000'000;
  static constexpr int64_t kBufferQueueSize = 4;
  static constexpr int64_t kBuffersRequiredForStartup = 1;

  struct LatestFrame {
    platform::media::SampleBufferRef buffer;
    uint64_t arrivalNanos = 0;  // 0 while there is no buffer
  };

  using StreamSourceBase::StreamSourceBase;

  platform::camera::PropertySet availableProperties() override;
  platform::camera::ExtensionStreamProperties streamProperties(
      const platform::camera::PropertySet& keys) override;
  // Remembers the client as the one whose buffers the next start takes.
  bool authorizedToStartStream(const platform::camera::ExtensionClientRef& client) override;
  void startStream() override;
  // Ends the consume loop and forgets the newest frame (on the frame queue).
  void stopStream() override;

  // The newest buffer and its arrival; read and written on the device's frame queue only.
  const LatestFrame& latestFrame() const;
  int64_t underruns() const { return underruns_.load(std::memory_order_relaxed); }
  // The client the running consume loop takes from; null while stopped or without a client.
  platform::camera::ExtensionClientRef activeClient() const { return activeClient_.load(); }

 private:
  // Issues one consume request if the loop of `generation` is still current.
  void consume(platform::camera::ExtensionClientRef client, int64_t generation);
  // Runs on the host's completion thread.
  void consumeCompleted(const platform::camera::ExtensionClientRef& client, int64_t generation,
                        platform::media::SampleBufferRef buffer, uint64_t sequenceNumber,
                        bool hasMoreSampleBuffers,
                        const std::optional<platform::camera::ExtensionError>& error);

  // Replaced whole by any thread; std::atomic<shared_ptr> keeps the count and pointer consistent.
  std::atomic<platform::camera::ExtensionClientRef> pendingClient_;
  std::atomic<platform::camera::ExtensionClientRef> activeClient_;
  // Every start and stop moves it on; a loop continues only while its generation is current.
  std::atomic<int64_t> generation_{0};
  std::atomic<int64_t> underruns_{0};
  LatestFrame latest_;  // frame queue only
};

}  // namespace quillane
