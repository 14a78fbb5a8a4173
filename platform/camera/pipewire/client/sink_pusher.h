#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <vector>

#include "platform/base/mutex.h"
#include "platform/camera/pipewire/client/linked_stream.h"
#include "platform/dispatch/serial_queue.h"
#include "platform/media/pixel_buffer_pool.h"
#include "platform/media/simple_queue.h"

namespace platform::camera::pipewire {

// A producer's stream into a camera's sink node. It takes the samples the client enqueues into
// its sink queue, oldest first, and sends each as soon as the stream may send, with the sample's
// presentation time and sequence number in its buffer's header; a sample waits in the queue
// meanwhile, so a full queue tells the client to drop. A picture the client filled in one of the
// stream's buffers (pictureToFill) goes as it is; any other is copied once into a free buffer.
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

  // A picture of `size` to fill for a sample the client will enqueue: one of the link's buffers,
  // out of the stream until the sample is sent or let go of, so that it reaches the camera
  // without a copy; while the link is not ready for `size` (being made or remade, or gone),
  // memory of the pusher's own, copied once it is, as any picture that waits in the queue.
  // nullptr when the camera holds every buffer (a cycle is started to hand some back): the client
  // drops its frame. Any thread.
  media::PixelBufferRef pictureToFill(VideoSize size);

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
  // `cycle` still in flight by then is started anew. The pusher's queue.
  void retryLater(uint64_t cycle);

  // The link's buffers out with the client, each with the number of its handout, and those let
  // go of unsent, to be handed out again. Touched by the pusher under the loop's lock, and by
  // the last holder of a handed-out picture on any thread.
  struct Handouts {
    base::Mutex mutex;
    std::map<pw_buffer*, uint64_t> out QLN_GUARDED_BY(mutex);
    std::vector<pw_buffer*> spare QLN_GUARDED_BY(mutex);
    uint64_t count QLN_GUARDED_BY(mutex) = 0;
    // The picture of handout `number` was let go of: its buffer is spare unless it was sent.
    void givenBack(pw_buffer* buffer, uint64_t number) QLN_EXCLUDES(mutex);
  };

  // Whether a picture of `size` can go now: the stream has that format and its link is ready.
  bool readyForLocked(VideoSize size) const QLN_REQUIRES(loopConfinement);
  // A buffer of the link's to hand out: a spare one, or one dequeued from the stream.
  pw_buffer* freeBufferLocked() QLN_REQUIRES(loopConfinement);
  // The link's buffer behind `picture` when it is out with the client; it is taken back.
  pw_buffer* takeBackLocked(const media::PixelBuffer& picture) QLN_REQUIRES(loopConfinement);
  // Starts a cycle, unless one is in flight: it hands back buffers the camera let go of, and
  // carries a picture still waiting in the stream.
  void askForBuffersLocked() QLN_REQUIRES(loopConfinement);
  // Forgets every handout: the stream's buffers are gone.
  void forgetHandouts();

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
  const std::shared_ptr<Handouts> handouts_ = std::make_shared<Handouts>();
  // Memory for pictures filled while the link is not ready for their size.
  media::PixelBufferPoolRef waitingPool_ QLN_GUARDED_BY(loopConfinement);
  // The cycle last started, while it has not finished (0: none): the next picture waits, since a
  // cycle started before the last one finished can lose a picture.
  uint64_t inFlight_ QLN_GUARDED_BY(loopConfinement) = 0;
  uint64_t cycles_ QLN_GUARDED_BY(loopConfinement) = 0;
  bool retryPending_ = false;  // the pusher's queue

  dispatch::SerialQueue worker_;  // declared last: joined before the state its work touches
};

}  // namespace platform::camera::pipewire
