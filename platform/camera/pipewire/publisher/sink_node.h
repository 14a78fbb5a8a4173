#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <optional>

#include "platform/base/mutex.h"
#include "platform/camera/pipewire/publisher/published_stream.h"
#include "platform/camera/pipewire/shared/video_params.h"
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
// not streaming. A producer whose buffer does not hold the picture it claims loses its link.
class SinkNode final : public PublishedStream {
 public:
  SinkNode(PipeWireLoop& loop, dispatch::SerialQueue& callbacks,
           std::shared_ptr<ExtensionStream> stream, const ExtensionDevice& device, int index,
           std::shared_ptr<dispatch::Clock> clock);
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

  Properties kindProperties() const override;
  void connectStream(pw_stream* stream) override;
  void streamGoing() override;
  void clientStopped(const ExtensionClientRef& client) override;

  static void onParamChanged(void* data, uint32_t id, const struct spa_pod* param);
  static void onAddBuffer(void* data, pw_buffer* buffer);
  static void onRemoveBuffer(void* data, pw_buffer* buffer);
  static void onProcess(void* data);

  // The arrived buffer as a sample, or null when it does not hold what it claims. Loop thread.
  media::SampleBufferRef sampleOf(pw_buffer* buffer, const std::shared_ptr<Slot>& slot);
  // Gives a buffer back to the producer; any thread.
  void giveBack(const std::shared_ptr<Slot>& slot);
  // Hands waiting buffers to waiting requests.
  void answerLocked() QLN_REQUIRES(requestsMutex_);
  void failLocked(const std::function<bool(const Waiting&)>& which, int64_t code,
                  const char* description) QLN_REQUIRES(requestsMutex_);
  // Runs on the timeout queue.
  void expire(uint64_t request);

  // Loop thread or under the loop's lock.
  std::optional<VideoSize> negotiated_;
  media::FormatDescriptionRef description_;
  media::PixelBufferPoolRef copyPool_;  // for pictures copied out on arrival
  std::map<std::pair<dev_t, ino_t>, std::weak_ptr<Memory>> memories_;
  std::map<pw_buffer*, std::shared_ptr<Slot>> slots_;  // the buffers PipeWire lends now

  base::Mutex requestsMutex_;
  std::deque<media::SampleBufferRef> arrived_ QLN_GUARDED_BY(requestsMutex_);
  std::deque<Waiting> waiting_ QLN_GUARDED_BY(requestsMutex_);
  uint64_t nextRequest_ QLN_GUARDED_BY(requestsMutex_) = 1;
  uint64_t nextSequence_ QLN_GUARDED_BY(requestsMutex_) = 1;
  bool withdrawn_ QLN_GUARDED_BY(requestsMutex_) = false;

  dispatch::SerialQueue timeouts_;
};

}  // namespace platform::camera::pipewire
