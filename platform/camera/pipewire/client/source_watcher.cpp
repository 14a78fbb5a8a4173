#include "platform/camera/pipewire/client/source_watcher.h"

#include <pipewire/pipewire.h>
#include <spa/buffer/meta.h>

#include "platform/camera/pipewire/shared/picture_rows.h"
#include "platform/media/media_time.h"

namespace platform::camera::pipewire {

SourceWatcher::SourceWatcher(PipeWireLoop& loop, DaemonConnection& connection,
                             RegistryView& registry, uint32_t outputNode,
                             std::vector<VideoSize> sizes, media::SimpleQueueRef queue,
                             std::function<void()> queueAltered,
                             std::shared_ptr<dispatch::Clock> clock)
    : LinkedStream(loop, connection, registry, outputNode, /*output=*/false),
      sizes_(std::move(sizes)),
      queue_(std::move(queue)),
      queueAltered_(std::move(queueAltered)),
      clock_(std::move(clock)) {}

SourceWatcher::~SourceWatcher() {
  PipeWireLoop::Lock lock(loop_);
  destroyLocked();
}

Properties SourceWatcher::streamProperties() const {
  return {{PW_KEY_MEDIA_CLASS, "Stream/Input/Video"},
          {PW_KEY_NODE_DESCRIPTION, "Camera watcher"},
          {PW_KEY_NODE_AUTOCONNECT, "false"}};
}

void SourceWatcher::fillConnectParams(VideoParams& params) const {
  for (const VideoSize& size : sizes_) params.addFixedFormat(size, /*alsoBGRx=*/true);
}

const pw_stream_events& SourceWatcher::streamEvents() const {
  static const pw_stream_events events = [] {
    pw_stream_events e{};
    e.version = PW_VERSION_STREAM_EVENTS;
    e.param_changed = onParamChanged;
    e.process = onProcess;
    return e;
  }();
  return events;
}

uint32_t SourceWatcher::streamFlags() const {
  return PW_STREAM_FLAG_MAP_BUFFERS;
}

void SourceWatcher::streamGoing() {
  negotiated_.reset();
}

void SourceWatcher::onParamChanged(void* data, uint32_t id, const spa_pod* param) {
  auto* self = static_cast<SourceWatcher*>(data);
  if (id != SPA_PARAM_Format) return;
  self->negotiated_ = parseVideoFormat(param);
  if (!self->negotiated_) return;
  const int width = static_cast<int>(self->negotiated_->width);
  const int height = static_cast<int>(self->negotiated_->height);
  self->pool_ = media::PixelBufferPool::create(
      {.pixelFormat = media::kPixelFormat32BGRA, .width = width, .height = height});
  self->description_ =
      media::FormatDescription::createVideo(media::kPixelFormat32BGRA, width, height);
  VideoParams meta;
  meta.addHeaderMeta();
  pw_stream_update_params(self->stream_, meta.data(), meta.count());
}

void SourceWatcher::onProcess(void* data) {
  auto* self = static_cast<SourceWatcher*>(data);
  bool altered = false;
  while (pw_buffer* buffer = pw_stream_dequeue_buffer(self->stream_)) {
    media::SampleBufferRef sample = self->copyOf(*buffer);
    pw_stream_queue_buffer(self->stream_, buffer);
    if (!sample) continue;
    self->queue_->dequeueOldestIfFull();
    altered |= self->queue_->enqueue(std::move(sample)) == media::kStatusOK;
  }
  if (altered && self->queueAltered_) self->queueAltered_();
}

media::SampleBufferRef SourceWatcher::copyOf(const pw_buffer& buffer) {
  if (!negotiated_ || !pool_ || buffer.buffer->n_datas < 1) return nullptr;
  const spa_data& data = buffer.buffer->datas[0];
  // The camera's numbers are checked like any peer's before a byte is read.
  const std::optional<ChunkRows> rows = rowsInChunk(*data.chunk, data.maxsize, *negotiated_);
  if (data.data == nullptr || !rows) return nullptr;
  media::PixelBufferRef picture = pool_->createPixelBuffer();
  if (!picture) return nullptr;
  {
    media::BaseAddressLock pixels(*picture, media::PixelBuffer::LockFlags::ReadWrite);
    copyRows(static_cast<const uint8_t*>(data.data) + rows->offset, rows->stride, pixels.data(),
             picture->bytesPerRow(), std::size_t{negotiated_->width} * 4, negotiated_->height);
  }
  media::MediaTime pts = media::MediaTime::fromNanos(clock_->nowNanos());
  uint64_t sequence = 0;
  if (auto* header = static_cast<const spa_meta_header*>(
          spa_buffer_find_meta_data(buffer.buffer, SPA_META_Header, sizeof(spa_meta_header)))) {
    if (header->pts >= 0) pts = media::MediaTime::fromNanos(static_cast<uint64_t>(header->pts));
    sequence = header->seq;
  }
  return media::SampleBuffer::createForImageBuffer(
      std::move(picture), true, description_,
      {media::MediaTime::make(1, 30), pts, media::MediaTime::invalid()}, sequence);
}

}  // namespace platform::camera::pipewire
