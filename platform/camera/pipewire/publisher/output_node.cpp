#include "platform/camera/pipewire/publisher/output_node.h"

#include <pipewire/pipewire.h>
#include <spa/buffer/meta.h>

#include "platform/camera/pipewire/shared/camera_node_keys.h"
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

Properties OutputNode::kindProperties() const {
  std::string formats;
  for (const VideoSize& size : offeredSizes(stream().source())) {
    if (!formats.empty()) formats += ",";
    formats += std::to_string(size.width) + "x" + std::to_string(size.height);
  }
  // What browsers and the camera portal look for: a Video/Source with the Camera role and a
  // description to show.
  return {{PW_KEY_MEDIA_CLASS, "Video/Source"},
          {PW_KEY_MEDIA_ROLE, "Camera"},
          {PW_KEY_NODE_DESCRIPTION, stream().localizedName()},
          {keys::kStreamFormats, formats}};
}

void OutputNode::connectStream(pw_stream* stream) {
  static const pw_stream_events events = [] {
    pw_stream_events e{};
    e.version = PW_VERSION_STREAM_EVENTS;
    e.param_changed = onParamChanged;
    e.add_buffer = onAddBuffer;
    e.remove_buffer = onRemoveBuffer;
    return e;
  }();
  pw_stream_add_listener(stream, &streamListener_, &events, this);
  VideoParams params;
  for (const VideoSize& size : offeredSizes(this->stream().source())) {
    params.addFixedFormat(size, /*alsoBGRx=*/true);
  }
  // RT_PROCESS: frames are sent from the frame queue under the loop's lock, and the stream has
  // no process callback that PipeWire would otherwise invoke on its loop from the sending thread.
  pw_stream_connect(stream, PW_DIRECTION_OUTPUT, PW_ID_ANY,
                    static_cast<pw_stream_flags>(PW_STREAM_FLAG_DRIVER |
                                                 PW_STREAM_FLAG_MAP_BUFFERS |
                                                 PW_STREAM_FLAG_RT_PROCESS),
                    params.data(), params.count());
}

void OutputNode::streamGoing() {
  negotiated_.reset();
  slots_.clear();
}

void OutputNode::onParamChanged(void* data, uint32_t id, const spa_pod* param) {
  auto* self = static_cast<OutputNode*>(data);
  if (id != SPA_PARAM_Format) return;
  self->negotiated_ = parseVideoFormat(param);
  if (!self->negotiated_) return;
  const std::vector<VideoSize> sizes = offeredSizes(self->stream().source());
  for (std::size_t index = 0; index < sizes.size(); ++index) {
    if (sizes[index] != *self->negotiated_) continue;
    self->callbacks_.async([self = self->shared_from_this(), index] {
      ExtensionStreamProperties properties;
      properties.activeFormatIndex = static_cast<int64_t>(index);
      self->stream().source().setStreamProperties(properties);
    });
  }
  requestBuffers(self->pwStream_, *self->negotiated_, kBuffers);
}

void OutputNode::onAddBuffer(void* data, pw_buffer* buffer) {
  static_cast<OutputNode*>(data)->slots_[buffer] =
      Slot{.busy = static_cast<spa_meta_busy*>(
               spa_buffer_find_meta_data(buffer->buffer, SPA_META_Busy, sizeof(spa_meta_busy))),
           .header = static_cast<spa_meta_header*>(spa_buffer_find_meta_data(
               buffer->buffer, SPA_META_Header, sizeof(spa_meta_header)))};
}

void OutputNode::onRemoveBuffer(void* data, pw_buffer* buffer) {
  static_cast<OutputNode*>(data)->slots_.erase(buffer);
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
  if (pwStream_ == nullptr || !negotiated_ ||
      negotiated_ != VideoSize{static_cast<uint32_t>(picture->width()),
                               static_cast<uint32_t>(picture->height())}) {
    return;  // no watcher yet, or a frame of a format the watchers no longer take
  }
  reclaimHeldBuffers(hostTimeInNanoseconds);
  pw_buffer* buffer = pw_stream_dequeue_buffer(pwStream_);
  if (buffer == nullptr) {
    // Every buffer is still with the watchers: this frame is skipped, but the cycle hands back
    // what they let go of.
    pw_stream_trigger_process(pwStream_);
    return;
  }
  spa_data& data = buffer->buffer->datas[0];
  Slot& slot = slots_[buffer];
  uint64_t& copied = slot.contentVersion;
  const uint32_t stride = negotiated_->width * 4;
  const uint32_t size = stride * negotiated_->height;
  if (data.data == nullptr || data.maxsize < size) {
    data.chunk->size = 0;  // unusable memory: goes back empty
  } else {
    if (copied != picture->contentVersion()) {
      copyPicture(*picture, static_cast<uint8_t*>(data.data));
      copied = picture->contentVersion();
    }
    data.chunk->offset = 0;
    data.chunk->size = size;
    data.chunk->stride = static_cast<int32_t>(stride);
    data.chunk->flags = 0;
  }
  if (spa_meta_header* header = slot.header) {
    header->flags = 0;
    header->seq = ++sequence_;
    header->pts = static_cast<int64_t>(hostTimeInNanoseconds);
    header->dts_offset = 0;
  }
  pw_stream_queue_buffer(pwStream_, buffer);
  pw_stream_trigger_process(pwStream_);
}

void OutputNode::consume(const ExtensionClientRef&, ConsumeCompletion completion) {
  callbacks_.async([completion = std::move(completion)] {
    completion(nullptr, 0, kDiscontinuityNone, false,
               hostError(host_error::kNotStreaming, "buffers are consumed only from sink streams"));
  });
}

}  // namespace platform::camera::pipewire
