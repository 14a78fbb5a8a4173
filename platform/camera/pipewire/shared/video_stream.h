#pragma once

#include <pipewire/stream.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/camera/pipewire/shared/pipewire_loop.h"
#include "platform/camera/pipewire/shared/registry_view.h"
#include "platform/camera/pipewire/shared/video_params.h"

namespace platform::camera::pipewire {

// What makes one of our streams what it is.
struct VideoStreamSetup {
  std::string name;
  Properties properties;
  bool output = false;  // it sends buffers (else it takes them in, and hears `process`)
  uint32_t flags = 0;   // pw_stream_flags
  // The buffers it asks for once a format is fixed, each with a header; none: it takes the
  // peer's and asks only for the header.
  std::optional<BufferCounts> buffers;
  // The pixel formats it takes, at any size; and when `only` lists formats, only those.
  std::vector<media::FourCC> pixelFormats;
  std::vector<VideoFormat> only;
};

// One pw_stream of raw video: the skeleton the camera's output and sink nodes, a producer and a
// watcher share. It makes and connects the stream, takes the format a peer negotiates (asking for
// buffers of its size) or refuses one it does not take, which fails the stream, and tells its
// owner of the format, the buffers, the cycles and, once, of its failure. Made, used and
// destroyed on the loop thread or under the loop's lock, where its owner hears its events.
class VideoStream {
 public:
  // Each hook runs on the loop thread with the loop's lock held, and may be called from inside
  // connect(), before the owner holds the stream.
  class Owner {
   public:
    // negotiated() changed: a format was fixed, or none is (the stream went back to idle).
    virtual void formatChanged(VideoStream&) {}
    virtual void bufferAdded(VideoStream&, pw_buffer*) {}
    virtual void bufferRemoved(VideoStream&, pw_buffer*) {}
    // Buffers came in (streams that take buffers).
    virtual void process(VideoStream&) {}
    // A cycle this stream started has ended (streams that drive their graph).
    virtual void triggerDone(VideoStream&) {}
    // The stream failed, for `reason`: an error PipeWire reported, a format imposed that it does
    // not take, or its node removed by the daemon. The stream stays, failed, until the owner drops
    // it (later: never from inside this call).
    virtual void failed(VideoStream&, const char* reason) = 0;

   protected:
    ~Owner() = default;
  };

  // Makes the stream on `core` and connects it, offering `formats`; null when PipeWire refused.
  static std::unique_ptr<VideoStream> connect(PipeWireLoop& loop, pw_core* core,
                                              VideoStreamSetup setup, VideoParams& formats,
                                              Owner& owner) QLN_REQUIRES(loopConfinement);
  ~VideoStream() QLN_REQUIRES(loopConfinement);
  VideoStream(const VideoStream&) = delete;
  VideoStream& operator=(const VideoStream&) = delete;

  // The format the peer and this stream agreed on; none before and between negotiations.
  const std::optional<VideoFormat>& negotiated() const QLN_REQUIRES(loopConfinement) {
    return negotiated_;
  }
  bool failed() const QLN_REQUIRES(loopConfinement) { return failed_; }
  // Whether its links run: buffers queued now go out with the next cycle.
  bool streaming() const QLN_REQUIRES(loopConfinement) { return streaming_; }
  // The node's global ID in the daemon; SPA_ID_INVALID while it has none.
  uint32_t nodeID() const QLN_REQUIRES(loopConfinement);

  // pw_stream's own calls; null when no buffer is free (or none came in).
  pw_buffer* dequeue() QLN_REQUIRES(loopConfinement);
  void queue(pw_buffer* buffer) QLN_REQUIRES(loopConfinement);
  // Starts a cycle of the graph this stream drives.
  void triggerProcess() QLN_REQUIRES(loopConfinement);
  // Sets node properties that clients read, beside those the stream was made with.
  void updateProperties(const Properties& properties) QLN_REQUIRES(loopConfinement);

 private:
  VideoStream(PipeWireLoop& loop, VideoStreamSetup setup, Owner& owner);

  static void onStateChanged(void* data, pw_stream_state old, pw_stream_state state,
                             const char* error);
  static void onParamChanged(void* data, uint32_t id, const spa_pod* param);
  static void onAddBuffer(void* data, pw_buffer* buffer);
  static void onRemoveBuffer(void* data, pw_buffer* buffer);
  static void onProcess(void* data);
  static void onTriggerDone(void* data);
  // Sending streams need no `process`: they are fed from outside the loop, and with one PipeWire
  // would call it from the sending thread.
  static const pw_stream_events kSendingEvents;
  static const pw_stream_events kTakingEvents;

  void fail(const char* reason) QLN_REQUIRES(loopConfinement);

  PipeWireLoop& loop_;
  const VideoStreamSetup setup_;
  Owner& owner_;
  pw_stream* stream_ QLN_GUARDED_BY(loopConfinement) = nullptr;
  spa_hook listener_ QLN_GUARDED_BY(loopConfinement){};
  std::optional<VideoFormat> negotiated_ QLN_GUARDED_BY(loopConfinement);
  bool failed_ QLN_GUARDED_BY(loopConfinement) = false;
  bool streaming_ QLN_GUARDED_BY(loopConfinement) = false;
};

}  // namespace platform::camera::pipewire
