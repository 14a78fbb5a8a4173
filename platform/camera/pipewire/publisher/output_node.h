#pragma once

#include <spa/buffer/meta.h>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "platform/base/mutex.h"
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
// the node's sequence number to the watchers; the number counts every frame sent while watchers
// stream, so a frame the camera had to drop shows as a gap. Frames go out only while the stream
// runs, so a new watch starts with the current frame, not a queue of frames made before it.
// A buffer a watcher holds (PipeWire's busy count: each watcher's stream adds one while it holds
// the buffer) is never written, with the one exception of kHeldTooLongNanos.
class OutputNode final : public PublishedNode {
 public:
  // Buffers the node shares with its watchers (a watcher that asks for more gets no more): enough
  // that one watcher holding a few never starves the others, few enough for 66 MB at 1080p.
  static constexpr BufferCounts kBuffers{8, 2, 8};
  // A watcher that holds a picture this long (a little less than the camera takes to go round
  // its buffers) is slow, has stalled or died, and might hold it for good: once no buffer is
  // free, the one sent longest ago, at least this long ago, is written again, so that the camera
  // and the other watchers go on. Only the watchers that still hold it may see it change; every
  // other gave it back long before.
  static constexpr uint64_t kHeldTooLongNanos = 250'000'000;

  using PublishedNode::PublishedNode;

  // Any thread; takes the loop's lock for the copy into a buffer. Does nothing once retired.
  void send(media::SampleBufferRef sampleBuffer, uint64_t hostTimeInNanoseconds) override;
  // Waits for a send under way; later ones do nothing. Any thread but the loop thread.
  void retire() override;
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

  // The buffer to write the next frame into, sent at `nowNanos`: one no watcher holds, else the
  // one sent longest ago if that was more than kHeldTooLongNanos ago; null when there is none.
  pw_buffer* takeBuffer(uint64_t nowNanos) QLN_REQUIRES(loopConfinement);
  // A buffer no watcher holds, or null. PipeWire lends only those, and moves a held one it meets
  // first to the back of its list, so each buffer is tried once.
  pw_buffer* dequeueFree() QLN_REQUIRES(loopConfinement);

  std::string publishedActiveFormat_ QLN_GUARDED_BY(loopConfinement);
  // Each of the node's buffers: its busy count and header (found once, when it is added; null
  // when it has none), the content version of the picture last written in, and when it was last
  // sent (0: not yet).
  struct Slot {
    spa_meta_busy* busy = nullptr;
    spa_meta_header* header = nullptr;
    uint64_t contentVersion = 0;
    uint64_t sentAt = 0;
  };
  std::map<pw_buffer*, Slot> slots_ QLN_GUARDED_BY(loopConfinement);
  uint64_t sequence_ QLN_GUARDED_BY(loopConfinement) = 0;

  // Held for each send, so that retiring waits for the one under way.
  base::Mutex sendingMutex_;
  bool retired_ QLN_GUARDED_BY(sendingMutex_) = false;
};

}  // namespace platform::camera::pipewire
