#pragma once

#include <spa/buffer/meta.h>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "platform/camera/pipewire/publisher/published_node.h"
#include "platform/camera/pipewire/shared/video_params.h"

namespace platform::camera::pipewire {

// An output stream as a camera node (media class Video/Source, role Camera) that drives its own
// graph: each sent frame goes into one of the node's buffers and starts a cycle at once, so
// watchers get it without waiting for a clock. It offers each of kOutputPixelFormats at every
// size the source offers; the size a watcher negotiates becomes the source's active format index,
// and every later watcher shares that format. Each sent picture is written once, in the
// negotiated pixel format, into the buffer all watchers read; a buffer that already holds the
// picture being sent is sent again without a copy. Each frame carries its presentation time and
// the node's sequence number to the watchers.
class OutputNode final : public PublishedNode {
 public:
  // Buffers the node shares with its watchers (a watcher that asks for more gets no more): enough
  // that one watcher holding a few never starves the others, few enough for 66 MB at 1080p.
  static constexpr BufferCounts kBuffers{8, 2, 8};
  // A watcher that holds a buffer this long (the time the camera takes to go round its buffers)
  // is slow, has stalled or died, and might hold it for good: the buffer is taken back, so that
  // the camera and the other watchers go on. Only that watcher may see the picture change.
  static constexpr uint64_t kHeldTooLongNanos = 250'000'000;

  using PublishedNode::PublishedNode;

  // Any thread; takes the loop's lock for the copy into a buffer.
  void send(media::SampleBufferRef sampleBuffer, uint64_t hostTimeInNanoseconds) override;
  // Output streams take no buffers: the request fails at once.
  void consume(const ExtensionClientRef& client, ConsumeCompletion completion) override;
  void notifyScheduledOutputChanged(const ExtensionScheduledOutput&) override {}

 private:
  // PublishedNode and VideoStream::Owner; loop thread.
  VideoStreamSetup kind() const QLN_REQUIRES(loopConfinement) override;
  void offer(VideoParams& formats) const QLN_REQUIRES(loopConfinement) override;
  void streamGoing() QLN_REQUIRES(loopConfinement) override;
  void linksChanged() QLN_REQUIRES(loopConfinement) override;
  void formatChanged(VideoStream& stream) override;
  void bufferAdded(VideoStream& stream, pw_buffer* buffer) override;
  void bufferRemoved(VideoStream& stream, pw_buffer* buffer) override;

  // Tells clients which of the offered formats the camera streams in: the negotiated one while a
  // watcher is linked, else none.
  void publishActiveFormat() QLN_REQUIRES(loopConfinement);

  // Takes back the buffers watchers have held for longer than kHeldTooLongNanos.
  void reclaimHeldBuffers(uint64_t nowNanos) QLN_REQUIRES(loopConfinement);

  std::string publishedActiveFormat_ QLN_GUARDED_BY(loopConfinement);
  // Each of the node's buffers: its busy count and header (found once, when it is added; null
  // when it has none), the content version of the picture last written in, and since when a
  // watcher has held it (0: not held).
  struct Slot {
    spa_meta_busy* busy = nullptr;
    spa_meta_header* header = nullptr;
    uint64_t contentVersion = 0;
    uint64_t heldSince = 0;
  };
  std::map<pw_buffer*, Slot> slots_ QLN_GUARDED_BY(loopConfinement);
  uint64_t sequence_ QLN_GUARDED_BY(loopConfinement) = 0;
};

}  // namespace platform::camera::pipewire
