#pragma once

#include <cstdint>
#include <map>
#include <optional>

#include "platform/camera/pipewire/client/linked_stream.h"
#include "platform/dispatch/serial_queue.h"
#include "platform/media/simple_queue.h"

namespace platform::camera::pipewire {

// A producer's stream into a camera's sink node. It takes the samples the client enqueues into
// its sink queue, oldest first, and sends each as soon as one of the stream's buffers is free,
// copying the picture into it once, with the sample's presentation time and sequence number in
// its header; a sample waits in the queue meanwhile, so a full queue tells the client to drop.
// The stream drives its graph: a sent picture reaches the camera at once. Its format follows the
// pictures: for one of another size the pusher makes a new stream and link (the camera sees its
// client go and come back).
class SinkPusher final : public LinkedStream {
 public:
  SinkPusher(PipeWireLoop& loop, DaemonConnection& connection, RegistryView& registry,
             uint32_t sinkNode, media::SimpleQueueRef queue,
             std::shared_ptr<dispatch::Clock> clock);
  ~SinkPusher() override;

  // A sample was enqueued, or a buffer may have come free: sends what can be sent, on the
  // pusher's own queue. Any thread.
  void wake();

 private:
  // LinkedStream and VideoStream::Owner.
  VideoStreamSetup setup() const QLN_REQUIRES(loopConfinement) override;
  void offer(VideoParams& formats) const QLN_REQUIRES(loopConfinement) override;
  void linked() override;
  void streamGoing() QLN_REQUIRES(loopConfinement) override;
  void formatChanged(VideoStream& stream) override;
  void bufferAdded(VideoStream& stream, pw_buffer* buffer) override;
  void bufferRemoved(VideoStream& stream, pw_buffer* buffer) override;
  void triggerDone(VideoStream& stream) override;

  // Looks again a little later, in case what the pusher waits for never announces itself; a
  // `cycle` in flight that long counts as finished. The pusher's queue.
  void retryLater(uint64_t cycle);

  // Sends waiting samples while buffers are free. The pusher's queue.
  void pump();
  // Starts with the size of a picture already waiting, if any, to spare a new stream at once.
  void expectSizeOfWaitingPicture();
  // Sends one picture; false when it must wait (for its format, the link, the last cycle or a
  // free buffer).
  bool sendLocked(const media::SampleBuffer& sample, media::PixelBuffer& picture)
      QLN_REQUIRES(loopConfinement);
  // Replaces the stream and its link by ones for pictures of `size`; false when that failed
  // (the client sees the camera gone and attaches again). The pusher's queue, without the lock.
  bool restartFor(VideoSize size);

  const media::SimpleQueueRef queue_;
  // Changed only on the pusher's queue, under the loop's lock.
  VideoSize requested_ QLN_GUARDED_BY(loopConfinement){1920, 1080};
  // The memory behind each of the stream's buffers: sealed shared memory of our own, which the
  // camera can keep mapped for as long as it holds a picture.
  std::map<pw_buffer*, media::PixelBufferRef> memory_ QLN_GUARDED_BY(loopConfinement);
  // The cycle last started, while it has not finished (0: none): the next picture waits, since a
  // cycle started before the last one finished can lose a picture.
  uint64_t inFlight_ QLN_GUARDED_BY(loopConfinement) = 0;
  uint64_t cycles_ QLN_GUARDED_BY(loopConfinement) = 0;
  bool retryPending_ = false;  // the pusher's queue

  dispatch::SerialQueue worker_;  // declared last: joined before the state its work touches
};

}  // namespace platform::camera::pipewire
