#pragma once

#include <functional>
#include <vector>

#include "platform/camera/pipewire/client/linked_stream.h"
#include "platform/dispatch/clock.h"
#include "platform/media/format_description.h"
#include "platform/media/pixel_buffer_pool.h"
#include "platform/media/simple_queue.h"

namespace platform::camera::pipewire {

// A watcher's stream from a camera's output node. Each arriving picture is copied out of the
// camera's buffer at once and the buffer given back, so a slow watcher never holds the camera's
// buffers; of pictures that arrived together only the newest is kept. The copy, with the
// camera's presentation time and sequence number, goes into the client's queue, whose oldest
// frame is dropped when it is full. It asks for `formats`, the preferred one first, and takes the
// first of them the camera can give (the one it runs in, once another watcher runs it); one it
// did not ask for fails the stream. Frames carry the negotiated pixel format.
class SourceWatcher final : public LinkedStream {
 public:
  SourceWatcher(PipeWireLoop& loop, DaemonConnection& connection, RegistryView& registry,
                uint32_t outputNode, std::vector<VideoFormat> formats, media::SimpleQueueRef queue,
                std::function<void()> queueAltered, std::shared_ptr<dispatch::Clock> clock);
  ~SourceWatcher() override;

 private:
  // LinkedStream and VideoStream::Owner.
  VideoStreamSetup setup() const QLN_REQUIRES(loopConfinement) override;
  void offer(VideoParams& formats) const QLN_REQUIRES(loopConfinement) override;
  void formatChanged(VideoStream& stream) override;
  void process(VideoStream& stream) override;

  // The picture a buffer holds, copied; null when it does not hold what the format says.
  media::SampleBufferRef copyOf(const VideoFormat& format, const pw_buffer& buffer)
      QLN_REQUIRES(loopConfinement);

  const std::vector<VideoFormat> formats_;
  const media::SimpleQueueRef queue_;
  const std::function<void()> queueAltered_;
  const std::shared_ptr<dispatch::Clock> clock_;  // stamps pictures that carry no time
  media::PixelBufferPoolRef pool_ QLN_GUARDED_BY(loopConfinement);
  media::FormatDescriptionRef description_ QLN_GUARDED_BY(loopConfinement);
};

}  // namespace platform::camera::pipewire
