#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <vector>

#include "platform/base/mutex.h"
#include "platform/camera/pipewire/publisher/published_node.h"
#include "platform/camera/pipewire/shared/video_params.h"
#include "platform/dispatch/clock.h"
#include "platform/dispatch/serial_queue.h"
#include "platform/media/format_description.h"

struct pw_buffer;
struct spa_chunk;
struct spa_data;

namespace platform::camera::pipewire {

// A sink stream as an input node (media class Video/Sink, never shown to applications as a
// camera) that takes BGRA pictures of any size. Each arriving buffer answers the oldest waiting
// consume request, or waits for the next one. The extension reads the pixels where the producer
// wrote them, in sealed shared memory the node maps itself; the buffer goes back when the
// extension lets go of the sample. A request is answered with an error after
// kConsumeTimeoutNanos, or at once for a client that is not streaming. A producer whose buffer is
// not such memory, or does not hold the picture it claims, loses its link. Each sample keeps the
// presentation time and sequence number the producer gave its frame.
// Any number of producers may link. PipeWire gives an input port's buffers to its first link only
// (a later link's go to the port's mixer, and the port's own are freed with the first link, under
// the node), so each producer gets a stream of its own: the node keeps an unlinked inlet (a node
// clients find by keys::kSinkInletOf) and makes another as soon as one is linked; an inlet its
// producer left stays for the next while no more than two are unlinked. A stream that gets a
// second link (producers that chose one inlet together) is made anew at once, with neither link:
// once a port had two, PipeWire may free its buffers without telling the node. The stream whose
// link came last is the one whose pictures the node takes; the others' buffers go back at once.
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
  bool carries(const RegistryView::Link& link) const QLN_REQUIRES(loopConfinement) override;
  void streamMade() QLN_REQUIRES(loopConfinement) override;
  void streamGoing() QLN_REQUIRES(loopConfinement) override;
  bool linkCame(const RegistryView::Link& link) QLN_REQUIRES(loopConfinement) override;
  void linksChanged() QLN_REQUIRES(loopConfinement) override;
  void clientStopped(const ExtensionClientRef& client) override;
  void formatChanged(VideoStream& stream) override;
  void bufferAdded(VideoStream& stream, pw_buffer* buffer) override;
  void bufferRemoved(VideoStream& stream, pw_buffer* buffer) override;
  void process(VideoStream& stream) override;
  // An inlet that fails is made anew alone.
  void failed(VideoStream& stream, const char* reason) override;

  // The arrived buffer as a sample, or null when it does not hold what it claims.
  media::SampleBufferRef sampleOf(const VideoFormat& format,
                                  const media::FormatDescriptionRef& description,
                                  const spa_chunk& chunk,
                                  const std::shared_ptr<Slot>& slot) QLN_REQUIRES(loopConfinement);
  // One stream producers push into: the node's own, or an inlet; and its one link.
  struct Feed {
    std::unique_ptr<VideoStream> inlet;  // null for the node's own
    media::FormatDescriptionRef description;
    std::optional<uint32_t> link;
    uint64_t since = 0;  // when its link came
  };
  Feed& feedOf(const VideoStream& stream) QLN_REQUIRES(loopConfinement);
  // Makes an inlet unless an unlinked one is there.
  void offerInlet() QLN_REQUIRES(loopConfinement);
  // Drops an inlet (its links go with it) or makes the node's stream anew.
  void remake(const VideoStream* stream) QLN_REQUIRES(loopConfinement);
  // The stream whose pictures the node takes; null while none is linked.
  const VideoStream* taken() const QLN_REQUIRES(loopConfinement);
  // Maps the sealed memory behind a buffer's data, once per memory block; null when it is not
  // sealed memory that holds what the data claims.
  std::shared_ptr<Memory> memoryOf(const spa_data& data) QLN_REQUIRES(loopConfinement);
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

  std::map<const VideoStream*, Feed> feeds_ QLN_GUARDED_BY(loopConfinement);
  uint64_t linksCame_ QLN_GUARDED_BY(loopConfinement) = 0;
  // Entries go with the last buffer that uses them.
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
