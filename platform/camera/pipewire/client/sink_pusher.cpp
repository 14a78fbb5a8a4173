#include "platform/camera/pipewire/client/sink_pusher.h"

#include <pipewire/pipewire.h>

#include "platform/camera/pipewire/shared/frame_header.h"
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

VideoStreamSetup SinkPusher::setup() const {
  // RT_PROCESS: pictures are sent from the pusher's queue under the loop's lock, and the stream
  // has no process callback that PipeWire would otherwise invoke on its loop from that thread.
  return {.name = "camera-client",
          .properties = {{PW_KEY_MEDIA_CLASS, "Stream/Output/Video"},
                         {PW_KEY_NODE_DESCRIPTION, "Camera producer"},
                         {PW_KEY_NODE_AUTOCONNECT, "false"}},
          .output = true,
          .flags = PW_STREAM_FLAG_DRIVER | PW_STREAM_FLAG_ALLOC_BUFFERS | PW_STREAM_FLAG_RT_PROCESS,
          .buffers = kSinkLinkBuffers,
          .pixelFormats = {media::kPixelFormat32BGRA}};
}

void SinkPusher::offer(VideoParams& formats) const {
  formats.addFixedFormat({media::kPixelFormat32BGRA, requested_});
}

void SinkPusher::expectSizeOfWaitingPicture() {
  media::SampleBufferRef waiting = queue_->head();
  PipeWireLoop::Lock lock(loop_);
  if (waiting && waiting->imageBuffer()) requested_ = sizeOf(*waiting->imageBuffer());
}

void SinkPusher::streamGoing() {
  memory_.clear();
  forgetHandouts();
}

void SinkPusher::linked() {
  {
    // Says from the start that this stream drives by triggers, before any buffer is queued.
    PipeWireLoop::Lock lock(loop_);
    if (video_) video_->triggerProcess();
  }
  wake();  // samples enqueued before the start go now
}

void SinkPusher::wake() {
  worker_.async([this] { pump(); });
}

void SinkPusher::formatChanged(VideoStream& video) {
  loop_.assertConfined();
  if (video.negotiated()) wake();
}

void SinkPusher::bufferAdded(VideoStream& video, pw_buffer* buffer) {
  loop_.assertConfined();
  spa_data& d = buffer->buffer->datas[0];
  if (video.negotiated()) {
    media::PixelBufferRef memory = media::PixelBuffer::create(
        static_cast<int>(video.negotiated()->size.width),
        static_cast<int>(video.negotiated()->size.height), media::kPixelFormat32BGRA);
    if (memory) {
      d.type = SPA_DATA_MemFd;
      d.flags = SPA_DATA_FLAG_READWRITE;
      d.fd = memory->fd().get();
      d.mapoffset = 0;
      d.maxsize = static_cast<uint32_t>(memory->dataSize());
      d.data = nullptr;  // written through `memory`
      memory_[buffer] = std::move(memory);
    }
  }
  wake();
}

void SinkPusher::bufferRemoved(VideoStream&, pw_buffer* buffer) {
  loop_.assertConfined();
  memory_.erase(buffer);
  // Buffers go together, when the format changes or the stream goes.
  forgetHandouts();
}

void SinkPusher::forgetHandouts() {
  base::MutexLock lock(handouts_->mutex);
  handouts_->out.clear();
  handouts_->spare.clear();
}

void SinkPusher::Handouts::givenBack(pw_buffer* buffer, uint64_t number) {
  base::MutexLock lock(mutex);
  auto handout = out.find(buffer);
  if (handout == out.end() || handout->second != number) return;  // sent, or its stream is gone
  out.erase(handout);
  spare.push_back(buffer);
}

media::PixelBufferRef SinkPusher::pictureToFill(VideoSize size) {
  PipeWireLoop::Lock lock(loop_);
  if (!readyForLocked(size)) {
    const media::PixelBufferAttributes attributes{
        .pixelFormat = media::kPixelFormat32BGRA, .width = size.width, .height = size.height};
    if (!waitingPool_ || waitingPool_->attributes() != attributes) {
      waitingPool_ = media::PixelBufferPool::create(attributes);
    }
    return waitingPool_ ? waitingPool_->createPixelBuffer() : nullptr;
  }
  pw_buffer* buffer = freeBufferLocked();
  if (buffer == nullptr) {
    askForBuffersLocked();
    return nullptr;
  }
  auto memory = memory_.find(buffer);
  if (memory == memory_.end()) {
    // Memory of our own could not be had for it: it goes back to the stream empty.
    buffer->buffer->datas[0].chunk->size = 0;
    video_->queue(buffer);
    return nullptr;
  }
  uint64_t number = 0;
  {
    base::MutexLock handouts(handouts_->mutex);
    number = ++handouts_->count;
    handouts_->out[buffer] = number;
  }
  // The picture keeps the buffer's memory mapped; letting go of it unsent makes the buffer spare.
  return media::PixelBufferRef(memory->second.get(),
                               [handouts = handouts_, buffer, number, keep = memory->second](
                                   media::PixelBuffer*) { handouts->givenBack(buffer, number); });
}

pw_buffer* SinkPusher::freeBufferLocked() {
  {
    base::MutexLock lock(handouts_->mutex);
    if (!handouts_->spare.empty()) {
      pw_buffer* buffer = handouts_->spare.back();
      handouts_->spare.pop_back();
      return buffer;
    }
  }
  return video_->dequeue();
}

pw_buffer* SinkPusher::takeBackLocked(const media::PixelBuffer& picture) {
  base::MutexLock lock(handouts_->mutex);
  for (auto handout = handouts_->out.begin(); handout != handouts_->out.end(); ++handout) {
    pw_buffer* buffer = handout->first;
    auto memory = memory_.find(buffer);
    if (memory != memory_.end() && memory->second.get() == &picture) {
      handouts_->out.erase(handout);
      return buffer;
    }
  }
  return nullptr;
}

void SinkPusher::askForBuffersLocked() {
  // The camera still holds the stream's free buffers; a cycle hands back what it let go of.
  if (inFlight_ != 0) return;
  inFlight_ = ++cycles_;
  video_->triggerProcess();
}

void SinkPusher::triggerDone(VideoStream&) {
  loop_.assertConfined();
  inFlight_ = 0;
  wake();
}

void SinkPusher::retryLater(uint64_t cycle) {
  if (retryPending_) return;
  retryPending_ = true;
  worker_.asyncAfter(worker_.clock()->nowNanos() + kRetryNanos, [this, cycle] {
    retryPending_ = false;
    {
      PipeWireLoop::Lock lock(loop_);
      if (cycle != 0 && inFlight_ == cycle && video_) {
        // Its end went unannounced, as for a cycle started while the graph was still getting
        // ready: a picture it was to carry still waits in the stream, and a new cycle takes it.
        inFlight_ = 0;
        askForBuffersLocked();
      }
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
    VideoSize requested;
    {
      PipeWireLoop::Lock lock(loop_);
      requested = requested_;
    }
    if (sizeOf(*picture) != requested && !restartFor(sizeOf(*picture))) return;
    PipeWireLoop::Lock lock(loop_);
    if (!video_) return;
    if (!sendLocked(*sample, *picture)) {
      // Waiting for the format, the link or a buffer. What ends the wait wakes the pusher; the
      // retry covers an end that goes unannounced.
      retryLater(inFlight_);
      return;
    }
    queue_->dequeue();
  }
  PipeWireLoop::Lock lock(loop_);
  if (inFlight_ != 0) retryLater(inFlight_);  // in case the last cycle's end goes unannounced
}

bool SinkPusher::restartFor(VideoSize size) {
  {
    PipeWireLoop::Lock lock(loop_);
    if (!video_) return false;  // gone with the connection, or failed before
    destroyLocked();
    requested_ = size;
    inFlight_ = 0;
  }
  // A new stream of this size, linked anew: pictures renegotiated on a running link can be lost.
  return start() == status::kNoError;
}

bool SinkPusher::readyForLocked(VideoSize size) const {
  return video_ && video_->negotiated() && video_->negotiated()->size == size && linkReadyLocked();
}

bool SinkPusher::sendLocked(const media::SampleBuffer& sample, media::PixelBuffer& picture) {
  // One cycle at a time: a cycle started before the last one finished can lose a picture.
  if (!readyForLocked(sizeOf(picture)) || inFlight_ != 0) return false;
  // A picture filled in one of the stream's buffers goes as it is; any other is copied.
  pw_buffer* buffer = takeBackLocked(picture);
  const bool filledInPlace = buffer != nullptr;
  if (!filledInPlace) buffer = freeBufferLocked();
  if (buffer == nullptr) {
    askForBuffersLocked();
    return false;
  }
  spa_data& data = buffer->buffer->datas[0];
  auto memory = memory_.find(buffer);
  if (memory == memory_.end()) {
    data.chunk->size = 0;
  } else {
    media::PixelBuffer& target = *memory->second;
    if (!filledInPlace) copyPicture(picture, target);
    data.chunk->offset = 0;
    data.chunk->size = static_cast<uint32_t>(target.dataSize());
    data.chunk->stride = static_cast<int32_t>(target.bytesPerRow());
    data.chunk->flags = 0;
  }
  if (spa_meta_header* header = FrameHeader::of(*buffer->buffer)) {
    FrameHeader{sample.presentationTimeStamp(), sample.sequenceNumber()}.write(*header);
  }
  video_->queue(buffer);
  inFlight_ = ++cycles_;
  video_->triggerProcess();
  return true;
}

}  // namespace platform::camera::pipewire
