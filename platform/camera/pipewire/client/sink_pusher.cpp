#include "platform/camera/pipewire/client/sink_pusher.h"

#include <pipewire/pipewire.h>
#include <spa/buffer/meta.h>

#include "platform/camera/pipewire/shared/picture_rows.h"

namespace platform::camera::pipewire {
namespace {

// When a cycle's end or a free buffer does not announce itself, the pusher looks again this much
// later.
constexpr uint64_t kRetryNanos = 50'000'000;

// Copies the picture's rows into the target of the same size, whatever the two strides.
void copyPicture(media::PixelBuffer& picture, media::PixelBuffer& target) {
  media::BaseAddressLock from(picture, media::PixelBuffer::LockFlags::ReadOnly);
  media::BaseAddressLock to(target, media::PixelBuffer::LockFlags::ReadWrite);
  if (from.data() == nullptr || to.data() == nullptr) return;
  copyRows(from.data(), picture.bytesPerRow(), to.data(), target.bytesPerRow(),
           static_cast<std::size_t>(picture.width()) * 4,
           static_cast<std::size_t>(picture.height()));
}

VideoSize sizeOf(const media::PixelBuffer& picture) {
  return {static_cast<uint32_t>(picture.width()), static_cast<uint32_t>(picture.height())};
}

}  // namespace

SinkPusher::SinkPusher(PipeWireLoop& loop, DaemonConnection& connection, RegistryView& registry,
                       uint32_t sinkNode, media::SimpleQueueRef queue,
                       std::shared_ptr<dispatch::Clock> clock)
    : LinkedStream(loop, connection, registry, sinkNode, /*output=*/true),
      queue_(std::move(queue)),
      worker_("platform.camera.pipewire.pusher", std::move(clock)) {
  expectSizeOfWaitingPicture();
}

SinkPusher::~SinkPusher() {
  // The stream goes first, so no event wakes the worker while it is being destroyed.
  PipeWireLoop::Lock lock(loop_);
  destroyLocked();
}

Properties SinkPusher::streamProperties() const {
  return {{PW_KEY_MEDIA_CLASS, "Stream/Output/Video"},
          {PW_KEY_NODE_DESCRIPTION, "Camera producer"},
          {PW_KEY_NODE_AUTOCONNECT, "false"}};
}

void SinkPusher::fillConnectParams(VideoParams& params) const {
  params.addFixedFormat(requested_, /*alsoBGRx=*/false);
}

void SinkPusher::expectSizeOfWaitingPicture() {
  media::SampleBufferRef waiting = queue_->head();
  if (waiting && waiting->imageBuffer()) requested_ = sizeOf(*waiting->imageBuffer());
}

const pw_stream_events& SinkPusher::streamEvents() const {
  static const pw_stream_events events = [] {
    pw_stream_events e{};
    e.version = PW_VERSION_STREAM_EVENTS;
    e.param_changed = onParamChanged;
    e.add_buffer = onAddBuffer;
    e.remove_buffer = onRemoveBuffer;
    e.trigger_done = onTriggerDone;
    return e;
  }();
  return events;
}

uint32_t SinkPusher::streamFlags() const {
  // RT_PROCESS: pictures are sent from the pusher's queue under the loop's lock, and the stream
  // has no process callback that PipeWire would otherwise invoke on its loop from that thread.
  return PW_STREAM_FLAG_DRIVER | PW_STREAM_FLAG_ALLOC_BUFFERS | PW_STREAM_FLAG_RT_PROCESS;
}

void SinkPusher::streamGoing() {
  negotiated_.reset();
  memory_.clear();
}

void SinkPusher::linked() {
  {
    // Says from the start that this stream drives by triggers, before any buffer is queued.
    PipeWireLoop::Lock lock(loop_);
    if (stream_ != nullptr) pw_stream_trigger_process(stream_);
  }
  wake();  // samples enqueued before the start go now
}

void SinkPusher::wake() {
  worker_.async([this] { pump(); });
}

void SinkPusher::onParamChanged(void* data, uint32_t id, const spa_pod* param) {
  auto* self = static_cast<SinkPusher*>(data);
  if (id != SPA_PARAM_Format) return;
  self->negotiated_ = parseVideoFormat(param);
  if (!self->negotiated_) return;
  requestBuffers(self->stream_, *self->negotiated_, kSinkLinkBuffers);
  self->wake();
}

void SinkPusher::onAddBuffer(void* data, pw_buffer* buffer) {
  auto* self = static_cast<SinkPusher*>(data);
  spa_data& d = buffer->buffer->datas[0];
  if (self->negotiated_) {
    media::PixelBufferRef memory = media::PixelBuffer::create(
        static_cast<int>(self->negotiated_->width), static_cast<int>(self->negotiated_->height),
        media::kPixelFormat32BGRA);
    if (memory) {
      d.type = SPA_DATA_MemFd;
      d.flags = SPA_DATA_FLAG_READWRITE;
      d.fd = memory->fd().get();
      d.mapoffset = 0;
      d.maxsize = static_cast<uint32_t>(memory->dataSize());
      d.data = nullptr;  // written through `memory`
      self->memory_[buffer] = std::move(memory);
    }
  }
  self->wake();
}

void SinkPusher::onRemoveBuffer(void* data, pw_buffer* buffer) {
  static_cast<SinkPusher*>(data)->memory_.erase(buffer);
}

void SinkPusher::onTriggerDone(void* data) {
  auto* self = static_cast<SinkPusher*>(data);
  self->inFlight_ = 0;
  self->wake();
}

void SinkPusher::retryLater(uint64_t cycle) {
  if (retryPending_) return;
  retryPending_ = true;
  worker_.asyncAfter(worker_.clock()->nowNanos() + kRetryNanos, [this, cycle] {
    retryPending_ = false;
    {
      PipeWireLoop::Lock lock(loop_);
      if (cycle != 0 && inFlight_ == cycle) inFlight_ = 0;  // its end went unannounced
    }
    pump();
  });
}

void SinkPusher::pump() {
  while (media::SampleBufferRef sample = queue_->head()) {
    const media::PixelBufferRef& picture = sample->imageBuffer();
    if (!picture) {
      queue_->dequeue();
      continue;
    }
    if (sizeOf(*picture) != requested_ && !restartFor(sizeOf(*picture))) return;
    PipeWireLoop::Lock lock(loop_);
    if (stream_ == nullptr) return;
    if (!sendLocked(*sample, *picture)) {
      // Waiting for the format, the link or a buffer. What ends the wait wakes the pusher; the
      // retry covers an end that goes unannounced.
      retryLater(inFlight_);
      return;
    }
    queue_->dequeue();
  }
}

bool SinkPusher::restartFor(VideoSize size) {
  {
    PipeWireLoop::Lock lock(loop_);
    if (stream_ == nullptr) return false;  // gone with the connection, or failed before
    destroyLocked();
    requested_ = size;
    inFlight_ = 0;
  }
  // A new stream of this size, linked anew: pictures renegotiated on a running link can be lost.
  return start() == status::kNoError;
}

bool SinkPusher::sendLocked(const media::SampleBuffer& sample, media::PixelBuffer& picture) {
  // One cycle at a time: a cycle started before the last one finished can lose a picture.
  if (negotiated_ != sizeOf(picture) || !linkReadyLocked() || inFlight_ != 0) return false;
  pw_buffer* buffer = pw_stream_dequeue_buffer(stream_);
  if (buffer == nullptr) {
    // The camera still holds the next buffer; a cycle hands back what it let go of.
    inFlight_ = ++cycles_;
    pw_stream_trigger_process(stream_);
    return false;
  }
  spa_data& data = buffer->buffer->datas[0];
  auto memory = memory_.find(buffer);
  if (memory == memory_.end()) {
    data.chunk->size = 0;
  } else {
    media::PixelBuffer& target = *memory->second;
    copyPicture(picture, target);
    data.chunk->offset = 0;
    data.chunk->size = static_cast<uint32_t>(target.dataSize());
    data.chunk->stride = static_cast<int32_t>(target.bytesPerRow());
    data.chunk->flags = 0;
  }
  if (auto* header = static_cast<spa_meta_header*>(
          spa_buffer_find_meta_data(buffer->buffer, SPA_META_Header, sizeof(spa_meta_header)))) {
    const media::MediaTime pts = sample.presentationTimeStamp();
    header->flags = 0;
    header->seq = ++sequence_;
    header->pts =
        pts.valid && pts.timescale > 0
            ? static_cast<int64_t>(static_cast<__int128>(pts.value) * 1'000'000'000 / pts.timescale)
            : -1;
    header->dts_offset = 0;
  }
  pw_stream_queue_buffer(stream_, buffer);
  inFlight_ = ++cycles_;
  pw_stream_trigger_process(stream_);
  return true;
}

}  // namespace platform::camera::pipewire
