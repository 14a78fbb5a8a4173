#include "extension/sink_stream_source.h"

#include <limits>

#include "extension/device_source.h"
#include "extension/fatal_error.h"

namespace quillane {
namespace {

using platform::camera::ExtensionClientRef;
using platform::camera::ExtensionError;
using platform::camera::ExtensionStreamProperties;
using platform::camera::PropertyKey;
using platform::camera::PropertySet;
using platform::camera::StreamDiscontinuityFlags;
using platform::media::SampleBufferRef;

// Adds one and returns the new value; a 64-bit counter cannot wrap in practice.
int64_t increment(std::atomic<int64_t>& counter) {
  int64_t before = counter.fetch_add(1);
  if (before == std::numeric_limits<int64_t>::max()) fatalError("sink counter overflow");
  return before + 1;
}

}  // namespace

PropertySet SinkStreamSource::availableProperties() {
  PropertySet keys = StreamSourceBase::availableProperties();
  keys.insert({PropertyKey::StreamSinkBufferQueueSize,
               PropertyKey::StreamSinkBuffersRequiredForStartup,
               PropertyKey::StreamSinkBufferUnderrunCount, PropertyKey::StreamSinkEndOfData});
  return keys;
}

ExtensionStreamProperties SinkStreamSource::streamProperties(const PropertySet& keys) {
  ExtensionStreamProperties properties = StreamSourceBase::streamProperties(keys);
  if (keys.contains(PropertyKey::StreamSinkBufferQueueSize)) {
    properties.sinkBufferQueueSize = kBufferQueueSize;
  }
  if (keys.contains(PropertyKey::StreamSinkBuffersRequiredForStartup)) {
    properties.sinkBuffersRequiredForStartup = kBuffersRequiredForStartup;
  }
  if (keys.contains(PropertyKey::StreamSinkBufferUnderrunCount)) {
    properties.sinkBufferUnderrunCount = underruns();
  }
  if (keys.contains(PropertyKey::StreamSinkEndOfData)) properties.sinkEndOfData = 0;
  return properties;
}

bool SinkStreamSource::authorizedToStartStream(const ExtensionClientRef& client) {
  pendingClient_.store(client);
  return true;
}

void SinkStreamSource::startStream() {
  setStreaming(true);
  const int64_t generation = increment(generation_);
  ExtensionClientRef client = pendingClient_.load();
  if (!client) {
    auto streaming = stream()->streamingClients();
    if (!streaming.empty()) client = streaming.front();
  }
  activeClient_.store(client);
  // Without a client the stream counts as running, but nothing is consumed until a new start.
  if (client) consume(std::move(client), generation);
}

void SinkStreamSource::stopStream() {
  setStreaming(false);
  increment(generation_);
  activeClient_.store(nullptr);
  device_.queue().async([self = shared_from_this()] { self->latest_ = LatestFrame{}; });
}

const SinkStreamSource::LatestFrame& SinkStreamSource::latestFrame() const {
  platform::dispatch::assertOnQueue(device_.queue());
  return latest_;
}

void SinkStreamSource::consume(ExtensionClientRef client, int64_t generation) {
  if (!isStreaming() || generation_.load() != generation) return;
  // A request outstanding with the host must not keep this stream alive.
  std::weak_ptr<SinkStreamSource> weakSelf = weak_from_this();
  stream()->consumeSampleBuffer(client, [weakSelf, client, generation](
                                            SampleBufferRef buffer, uint64_t sequenceNumber,
                                            StreamDiscontinuityFlags, bool hasMore,
                                            std::optional<ExtensionError> error) {
    if (auto self = weakSelf.lock()) {
      self->consumeCompleted(client, generation, std::move(buffer), sequenceNumber, hasMore, error);
    }
  });
}

void SinkStreamSource::consumeCompleted(const ExtensionClientRef& client, int64_t generation,
                                        SampleBufferRef buffer, uint64_t sequenceNumber,
                                        bool hasMoreSampleBuffers,
                                        const std::optional<ExtensionError>& error) {
  if (buffer) {
    // Stored and confirmed whatever the generation: only the next request checks it.
    const uint64_t now = device_.clock().nowNanos();
    device_.queue().async([self = shared_from_this(), buffer = std::move(buffer), now] {
      self->latest_ = LatestFrame{buffer, now};
      self->device_.sinkFrameArrived(now);
    });
    stream()->notifyScheduledOutputChanged({sequenceNumber, now});
  } else if (error) {
    increment(underruns_);
  }

  if (!error || hasMoreSampleBuffers) {
    consume(client, generation);
    return;
  }
  // Nothing to take now: ask again later rather than spin on the host.
  device_.queue().asyncAfter(
      device_.clock().nowNanos() + kRetryDelayNanos,
      [self = shared_from_this(), client, generation] { self->consume(client, generation); });
}

}  // namespace quillane
