#include "platform/camera/pipewire/output_node.h"

#include <pipewire/pipewire.h>
#include <spa/buffer/meta.h>

#include <algorithm>

#include "platform/camera/pipewire/camera_node_keys.h"
#include "platform/camera/pipewire/picture_rows.h"
#include "platform/imaging/pixel_ops.h"

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

// Writes the BGRA picture into `destination` in `format` (of the picture's size), in rows without
// padding: BGRA and BGRx are the same bytes, YUY2 is converted on the way. False when it could
// not be read or converted.
bool writePicture(media::PixelBuffer& picture, const VideoFormat& format, uint8_t* destination) {
  media::BaseAddressLock pixels(picture, media::PixelBuffer::LockFlags::ReadOnly);
  if (pixels.data() == nullptr) return false;
  const std::size_t row = format.rowBytes();
  if (format.pixelFormat != media::kPixelFormatYUY2) {
    copyRows(pixels.data(), picture.bytesPerRow(), destination, row, row,
             static_cast<std::size_t>(picture.height()));
    return true;
  }
  return imaging::convertToYuy2(
             {pixels.data(), picture.height(), picture.width(), picture.bytesPerRow()},
             {destination, picture.height(), picture.width(), row}) == imaging::kImagingNoError;
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
  for (const VideoFormat& format : outputFormats(offeredSizes(this->stream().source()))) {
    params.addFixedFormat(format);
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
  publishedActiveFormat_.clear();
  slots_.clear();
}

void OutputNode::onParamChanged(void* data, uint32_t id, const spa_pod* param) {
  auto* self = static_cast<OutputNode*>(data);
  if (id != SPA_PARAM_Format) return;
  self->negotiated_ = parseVideoFormat(param, kOutputPixelFormats);
  self->publishActiveFormat();
  if (!self->negotiated_) return;
  const std::vector<VideoSize> sizes = offeredSizes(self->stream().source());
  for (std::size_t index = 0; index < sizes.size(); ++index) {
    if (sizes[index] != self->negotiated_->size) continue;
    self->callbacks_.async([self = self->shared_from_this(), index] {
      ExtensionStreamProperties properties;
      properties.activeFormatIndex = static_cast<int64_t>(index);
      self->stream().source().setStreamProperties(properties);
    });
  }
  requestBuffers(self->pwStream_, *self->negotiated_, kBuffers);
}

void OutputNode::linksChanged() {
  publishActiveFormat();
}

void OutputNode::publishActiveFormat() {
  std::string index;
  if (negotiated_ && !links_.empty()) {
    const std::vector<VideoFormat> offered = outputFormats(offeredSizes(stream().source()));
    const auto active = std::find(offered.begin(), offered.end(), *negotiated_);
    if (active != offered.end()) index = std::to_string(active - offered.begin());
  }
  if (pwStream_ == nullptr || index == publishedActiveFormat_) return;
  publishedActiveFormat_ = index;
  const spa_dict_item item = SPA_DICT_ITEM_INIT(keys::kActiveFormat, index.c_str());
  const spa_dict properties = SPA_DICT_INIT(&item, 1);
  pw_stream_update_properties(pwStream_, &properties);
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
      negotiated_->size != VideoSize{static_cast<uint32_t>(picture->width()),
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
  uint64_t& written = slot.contentVersion;
  const uint32_t size = negotiated_->pictureBytes();
  if (written != picture->contentVersion()) {
    written = data.data != nullptr && data.maxsize >= size &&
                      writePicture(*picture, *negotiated_, static_cast<uint8_t*>(data.data))
                  ? picture->contentVersion()
                  : 0;
  }
  if (written == 0) {
    data.chunk->size = 0;  // unusable memory, or a picture that could not be read: goes back empty
  } else {
    data.chunk->offset = 0;
    data.chunk->size = size;
    data.chunk->stride = static_cast<int32_t>(negotiated_->rowBytes());
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
