#include "platform/camera/pipewire/client/source_watcher.h"

#include <pipewire/pipewire.h>

#include "platform/camera/pipewire/shared/frame_header.h"
#include "platform/camera/pipewire/shared/picture_rows.h"
#include "platform/media/media_time.h"

namespace platform::camera::pipewire {

SourceWatcher::SourceWatcher(PipeWireLoop& loop, DaemonConnection& connection,
                             RegistryView& registry, uint32_t outputNode,
                             std::vector<VideoFormat> formats, media::SimpleQueueRef queue,
                             std::function<void()> queueAltered,
                             std::shared_ptr<dispatch::Clock> clock)
    : LinkedStream(loop, connection, registry, outputNode, /*output=*/false),
      formats_(std::move(formats)),
      queue_(std::move(queue)),
      queueAltered_(std::move(queueAltered)),
      clock_(std::move(clock)) {}

SourceWatcher::~SourceWatcher() {
  PipeWireLoop::Lock lock(loop_);
  destroyLocked();
}

VideoStreamSetup SourceWatcher::setup() const {
  return {.name = "camera-client",
          .properties = {{PW_KEY_MEDIA_CLASS, "Stream/Input/Video"},
                         {PW_KEY_NODE_DESCRIPTION, "Camera watcher"},
                         {PW_KEY_NODE_AUTOCONNECT, "false"}},
          .output = false,
          .flags = PW_STREAM_FLAG_MAP_BUFFERS,
          .buffers = std::nullopt,
          // A camera that runs for other watchers in a format this one did not ask for gets it
          // imposed by the daemon: the stream refuses it and fails to start.
          .pixelFormats = {kOutputPixelFormats.begin(), kOutputPixelFormats.end()},
          .only = formats_};
}

void SourceWatcher::offer(VideoParams& formats) const {
  for (const VideoFormat& format : formats_) formats.addFixedFormat(format);
}

void SourceWatcher::formatChanged(VideoStream& video) {
  loop_.assertConfined();
  if (!video.negotiated()) return;
  const media::FourCC pixelFormat = video.negotiated()->pixelFormat;
  const int width = static_cast<int>(video.negotiated()->size.width);
  const int height = static_cast<int>(video.negotiated()->size.height);
  pool_ = media::PixelBufferPool::create(
      {.pixelFormat = pixelFormat, .width = width, .height = height});
  description_ = media::FormatDescription::createVideo(pixelFormat, width, height);
}

void SourceWatcher::process(VideoStream& video) {
  loop_.assertConfined();
  // Pictures that waited while the loop was busy (as at the start of a watch) are older than
  // the newest: only that one is copied, and every buffer goes back at once.
  pw_buffer* newest = nullptr;
  while (pw_buffer* buffer = video.dequeue()) {
    if (newest != nullptr) video.queue(newest);
    newest = buffer;
  }
  if (newest == nullptr) return;
  media::SampleBufferRef sample =
      video.negotiated() ? copyOf(*video.negotiated(), *newest) : nullptr;
  video.queue(newest);
  if (!sample) return;
  queue_->dequeueOldestIfFull();
  if (queue_->enqueue(std::move(sample)) == media::kStatusOK && queueAltered_) queueAltered_();
}

media::SampleBufferRef SourceWatcher::copyOf(const VideoFormat& format, const pw_buffer& buffer) {
  if (!pool_ || buffer.buffer->n_datas < 1) return nullptr;
  const spa_data& data = buffer.buffer->datas[0];
  // The camera's numbers are checked like any peer's before a byte is read.
  const std::optional<ChunkRows> rows = rowsInChunk(*data.chunk, data.maxsize, format);
  if (data.data == nullptr || !rows) return nullptr;
  media::PixelBufferRef picture = pool_->createPixelBuffer();
  if (!picture) return nullptr;
  {
    media::BaseAddressLock pixels(*picture, media::PixelBuffer::LockFlags::ReadWrite);
    copyRows(static_cast<const uint8_t*>(data.data) + rows->offset, rows->stride, pixels.data(),
             picture->bytesPerRow(), format.rowBytes(), format.size.height);
  }
  return FrameHeader::received(FrameHeader::of(*buffer.buffer), clock_->nowNanos())
      .sample(std::move(picture), description_);
}

}  // namespace platform::camera::pipewire
