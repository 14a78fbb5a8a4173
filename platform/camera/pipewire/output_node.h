#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <vector>

#include "platform/camera/pipewire/published_stream.h"
#include "platform/camera/pipewire/video_params.h"

struct pw_buffer;

namespace platform::camera::pipewire {

// An output stream as a camera node (media class Video/Source, role Camera) that drives its own
// graph: each sent frame goes into one of the node's buffers and starts a cycle at once, so
// watchers get it without waiting for a clock. It offers one fixed format per size the source
// offers; the size a watcher negotiates becomes the source's active format index. A buffer that
// already holds the picture being sent is sent again without a copy.
class OutputNode final : public PublishedStream {
 public:
  // Buffers the node shares with its watchers: enough to keep frames flowing to a few watchers,
  // few enough that a 1080p camera stays near 33 MB.
  static constexpr int kBuffers = 4;
  static constexpr int kMinBuffers = 2;
  static constexpr int kMaxBuffers = 8;

  using PublishedStream::PublishedStream;

  // Any thread; takes the loop's lock for the copy into a buffer.
  void send(media::SampleBufferRef sampleBuffer, uint64_t hostTimeInNanoseconds) override;
  // Output streams take no buffers: the request fails at once.
  void consume(const ExtensionClientRef& client, ConsumeCompletion completion) override;
  void notifyScheduledOutputChanged(const ExtensionScheduledOutput&) override {}

 private:

  Properties kindProperties() const override;
  void connectStream(pw_stream* stream) override;
  void streamGoing() override;

  static void onParamChanged(void* data, uint32_t id, const struct spa_pod* param);
  static void onAddBuffer(void* data, pw_buffer* buffer);
  static void onRemoveBuffer(void* data, pw_buffer* buffer);

  // Loop thread or under the loop's lock.
  std::optional<VideoSize> negotiated_;
  // What each of the node's buffers holds: the content version of the picture last copied in.
  std::map<pw_buffer*, uint64_t> copied_;
  uint64_t sequence_ = 0;
};

}  // namespace platform::camera::pipewire
