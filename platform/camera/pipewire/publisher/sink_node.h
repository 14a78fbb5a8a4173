#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <optional>

#include "platform/base/mutex.h"
#include "platform/camera/pipewire/publisher/published_node.h"
#include "platform/camera/pipewire/shared/video_params.h"
#include "platform/dispatch/clock.h"
#include "platform/dispatch/serial_queue.h"
#include "platform/media/format_description.h"
#include "platform/media/pixel_buffer_pool.h"

struct pw_buffer;

namespace platform::camera::pipewire {

// A sink stream as an input node (media class Video/Sink, never shown to applications as a
// camera) that takes BGRA pictures of any size. Each arriving buffer answers the oldest waiting
// consume request, or waits for the next one. In sealed shared memory, the extension reads the
// pixels where the producer wrote them and the buffer goes back when the extension lets go of the
// sample; other memory is copied out on arrival and goes back at once.
// A request is answered with an error after kConsumeTimeoutNanos, or at once for a client that is
// not streaming. A producer whose buffer does not hold the picture it claims loses its link. Each
// sample keeps the presentation time and sequence number the producer gave its frame.
class SinkNode final : public PublishedNode {
 public:
  SinkNode(PipeWireLoop& loop, dispatch::SerialQueue& callbacks,
           std::shared_ptr<ExtensionStream> stream, std::shared_ptr<dispatch::Clock> clock);
  ~SinkNode() override;

  void send(media::SampleBufferRef, uint64_t) override {}
  // Any thread.
  void consume(const ExtensionClientRef& client, ConsumeCompletion completion) override;
  void notifyScheduledOutputChanged(const ExtensionScheduledOutput&) override {}

  // Answers every waiting request with kNotPublished, lets go of waiting buffers and answers
  // later requests at once. Callback queue.
  void withdrawn() override;

  struct Memory;  // one mapping of the producer's shared memory
  struct Slot;    // one of the node's buffers, for as long as PipeWire lends it

 private:
  struct Waiting {
    uint64_t id = 0;
    ExtensionClientRef client;
    ConsumeCompletion completion;
  };

  // PublishedNode and VideoStream::Owner; loop thread.
  VideoStreamSetup kind() const QLN_REQUIRES(loopConfinement) override;
  void offer(VideoParams& formats) const QLN_REQUIRES(loopConfinement) override;
  void streamGoing() QLN_REQUIRES(loopConfinement) override;
  void clientStopped(const ExtensionClientRef& client) override;
  void formatChanged(VideoStream& stream) override;
  void bufferAdded(VideoStream& stream, pw_buffer* buffer) override;
  void bufferRemoved(VideoStream& stream, pw_buffer* buffer) override;
  void process(VideoStream& stream) override;

  // The arrived buffer as a sample, or null when it does not hold what it claims.
  media::SampleBufferRef sampleOf(const VideoFormat& format, pw_buffer* buffer,
                                  const std::shared_ptr<Slot>& slot) QLN_REQUIRES(loopConfinement);
  // Gives a buffer back to the producer; any thread.
  void giveBack(const std::shared_ptr<Slot>& slot);
  // Hands waiting buffers to waiting requests.
  void answerLocked() QLN_REQUIRES(requestsMutex_);
  // Answers the requests `which` picks with an error; the source then counts an underrun, which
  // the node publishes anew.
  void failLocked(const std::function<bool(const Waiting&)>& which, int64_t code,
                  const char* description) QLN_REQUIRES(requestsMutex_);
  // Runs on the timeout queue.
  void expire(uint64_t request);
  // Publishes the sink's counts as the source reports them now. Callback queue.
  void publishCounts();

  media::FormatDescriptionRef description_ QLN_GUARDED_BY(loopConfinement);
  // For pictures copied out on arrival.
  media::PixelBufferPoolRef copyPool_ QLN_GUARDED_BY(loopConfinement);
  std::map<std::pair<dev_t, ino_t>, std::weak_ptr<Memory>> memories_
      QLN_GUARDED_BY(loopConfinement);
  // The buffers PipeWire lends now.
  std::map<pw_buffer*, std::shared_ptr<Slot>> slots_ QLN_GUARDED_BY(loopConfinement);

  base::Mutex requestsMutex_;
  std::deque<media::SampleBufferRef> arrived_ QLN_GUARDED_BY(requestsMutex_);
  std::deque<Waiting> waiting_ QLN_GUARDED_BY(requestsMutex_);
  uint64_t nextRequest_ QLN_GUARDED_BY(requestsMutex_) = 1;
  uint64_t nextSequence_ QLN_GUARDED_BY(requestsMutex_) = 1;
  bool withdrawn_ QLN_GUARDED_BY(requestsMutex_) = false;

  dispatch::SerialQueue timeouts_;
};

}  // namespace platform::camera::pipewire
