#include "platform/camera/pipewire/publisher/output_node.h"

#include <pipewire/pipewire.h>

#include "platform/camera/pipewire/shared/frame_header.h"
#include "platform/camera/pipewire/shared/picture_rows.h"

namespace platform::camera::pipewire {
namespace {

// The sizes the source offers, in its order: a format's place here is its format index.
std::vector<VideoSize> offeredSizes(ExtensionStreamSource& source) {
  std::vector<VideoSize> sizes;
  for (const ExtensionStreamFormat& format : source.formats()) {
    if (!format.formatDescription) continue;
    sizes.push_back({static_cast<uint32_t>(format.formatDescription->width()),
                     static_cast<uint32_t>(format.formatDescription->height())});
  }
  return sizes;
}

// Copies the picture's rows into `destination`, whose rows are width × 4 bytes.
void copyPicture(media::PixelBuffer& picture, uint8_t* destination) {
  media::BaseAddressLock pixels(picture, media::PixelBuffer::LockFlags::ReadOnly);
  if (pixels.data() == nullptr) return;
  const std::size_t row = static_cast<std::size_t>(picture.width()) * 4;
  copyRows(pixels.data(), picture.bytesPerRow(), destination, row, row,
           static_cast<std::size_t>(picture.height()));
}

}  // namespace

VideoStreamSetup OutputNode::kind() const {
  // What browsers and the camera portal look for: a Video/Source with the Camera role and a
  // description to show. RT_PROCESS: frames are sent from the frame queue under the loop's lock,
  // and the stream has no process callback that PipeWire would otherwise invoke on its loop from
  // the sending thread.
  return {.properties = {{PW_KEY_MEDIA_CLASS, "Video/Source"},
                         {PW_KEY_MEDIA_ROLE, "Camera"},
                         {PW_KEY_NODE_DESCRIPTION, stream().localizedName()}},
          .output = true,
          .flags = PW_STREAM_FLAG_DRIVER | PW_STREAM_FLAG_MAP_BUFFERS | PW_STREAM_FLAG_RT_PROCESS,
          .buffers = kBuffers};
}

void OutputNode::offer(VideoParams& formats) const {
  for (const VideoSize& size : offeredSizes(stream().source())) {
    formats.addFixedFormat(size, /*alsoBGRx=*/true);
  }
}

void OutputNode::streamGoing() {
  slots_.clear();
}

void OutputNode::formatChanged(VideoStream& video) {
  loop_.assertConfined();
  if (!video.negotiated()) return;
  const std::vector<VideoSize> sizes = offeredSizes(stream().source());
  for (std::size_t index = 0; index < sizes.size(); ++index) {
    if (sizes[index] != *video.negotiated()) continue;
    callbacks_.async([self = shared_from_this(), index] {
      ExtensionStreamProperties properties;
      properties.activeFormatIndex = static_cast<int64_t>(index);
      self->stream().source().setStreamProperties(properties);
    });
  }
}

void OutputNode::bufferAdded(VideoStream&, pw_buffer* buffer) {
  loop_.assertConfined();
  slots_[buffer] = Slot{.busy = static_cast<spa_meta_busy*>(spa_buffer_find_meta_data(
                            buffer->buffer, SPA_META_Busy, sizeof(spa_meta_busy))),
                        .header = FrameHeader::of(*buffer->buffer)};
}

void OutputNode::bufferRemoved(VideoStream&, pw_buffer* buffer) {
  loop_.assertConfined();
  slots_.erase(buffer);
}

void OutputNode::reclaimHeldBuffers(uint64_t nowNanos) {
  for (auto& [buffer, slot] : slots_) {
    spa_meta_busy* busy = slot.busy;
    if (busy == nullptr) continue;
    // The count lives in memory the watchers share and change from their own processes.
    if (__atomic_load_n(&busy->count, __ATOMIC_SEQ_CST) == 0) {
      slot.heldSince = 0;
    } else if (slot.heldSince == 0) {
      slot.heldSince = nowNanos;
    } else if (nowNanos - slot.heldSince > kHeldTooLongNanos) {
      __atomic_store_n(&busy->count, 0, __ATOMIC_SEQ_CST);
      slot.heldSince = 0;
    }
  }
}

void OutputNode::send(media::SampleBufferRef sampleBuffer, uint64_t hostTimeInNanoseconds) {
  const media::PixelBufferRef& picture = sampleBuffer->imageBuffer();
  if (!picture) return;
  PipeWireLoop::Lock lock(loop_);
  if (!video_ || !video_->negotiated() ||
      *video_->negotiated() != VideoSize{static_cast<uint32_t>(picture->width()),
                                          static_cast<uint32_t>(picture->height())}) {
    return;  // no watcher yet, or a frame of a format the watchers no longer take
  }
  reclaimHeldBuffers(hostTimeInNanoseconds);
  pw_buffer* buffer = video_->dequeue();
  if (buffer == nullptr) {
    // Every buffer is still with the watchers: this frame is skipped, but the cycle hands back
    // what they let go of.
    video_->triggerProcess();
    return;
  }
  const VideoSize size = *video_->negotiated();
  spa_data& data = buffer->buffer->datas[0];
  Slot& slot = slots_[buffer];
  const uint32_t stride = size.width * 4;
  const uint32_t bytes = stride * size.height;
  if (data.data == nullptr || data.maxsize < bytes) {
    data.chunk->size = 0;  // unusable memory: goes back empty
  } else {
    if (slot.contentVersion != picture->contentVersion()) {
      copyPicture(*picture, static_cast<uint8_t*>(data.data));
      slot.contentVersion = picture->contentVersion();
    }
    data.chunk->offset = 0;
    data.chunk->size = bytes;
    data.chunk->stride = static_cast<int32_t>(stride);
    data.chunk->flags = 0;
  }
  if (slot.header != nullptr) {
    const media::MediaTime pts = sampleBuffer->presentationTimeStamp();
    FrameHeader{pts.valid ? pts : media::MediaTime::fromNanos(hostTimeInNanoseconds), ++sequence_}
        .write(*slot.header);
  }
  video_->queue(buffer);
  video_->triggerProcess();
}

void OutputNode::consume(const ExtensionClientRef&, ConsumeCompletion completion) {
  callbacks_.async([completion = std::move(completion)] {
    completion(nullptr, 0, kDiscontinuityNone, false,
               hostError(host_error::kNotStreaming, "buffers are consumed only from sink streams"));
  });
}

}  // namespace platform::camera::pipewire
