#include "platform/camera/pipewire/publisher/output_node.h"

#include <pipewire/pipewire.h>

#include <algorithm>

#include "platform/camera/pipewire/shared/camera_node_keys.h"
#include "platform/camera/pipewire/shared/frame_header.h"
#include "platform/camera/pipewire/shared/picture_rows.h"
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
          .buffers = kBuffers,
          .pixelFormats = {kOutputPixelFormats.begin(), kOutputPixelFormats.end()}};
}

void OutputNode::offer(VideoParams& formats) const {
  for (const VideoFormat& format : outputFormats(offeredSizes(stream().source()))) {
    formats.addFixedFormat(format);
  }
}

void OutputNode::streamGoing() {
  publishedActiveFormat_.clear();
  slots_.clear();
}

void OutputNode::linksChanged() {
  publishActiveFormat();
}

void OutputNode::publishActiveFormat() {
  std::string index;
  if (video_ && video_->negotiated() && !links_.empty()) {
    const std::vector<VideoFormat> offered = outputFormats(offeredSizes(stream().source()));
    const auto active = std::find(offered.begin(), offered.end(), *video_->negotiated());
    if (active != offered.end()) index = std::to_string(active - offered.begin());
  }
  if (!video_ || index == publishedActiveFormat_) return;
  publishedActiveFormat_ = index;
  video_->updateProperties({{keys::kActiveFormat, index}});
}

void OutputNode::formatChanged(VideoStream& video) {
  loop_.assertConfined();
  publishActiveFormat();
  if (!video.negotiated()) return;
  const std::vector<VideoSize> sizes = offeredSizes(stream().source());
  for (std::size_t index = 0; index < sizes.size(); ++index) {
    if (sizes[index] != video.negotiated()->size) continue;
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

pw_buffer* OutputNode::dequeueFree() {
  for (std::size_t tries = 0; tries < slots_.size(); ++tries) {
    if (pw_buffer* buffer = video_->dequeue()) return buffer;
  }
  return nullptr;
}

pw_buffer* OutputNode::takeBuffer(uint64_t nowNanos) {
  if (pw_buffer* free = dequeueFree()) return free;
  const Slot* oldest = nullptr;
  for (const auto& [buffer, slot] : slots_) {
    if (slot.busy != nullptr && slot.sentAt != 0 && (!oldest || slot.sentAt < oldest->sentAt)) {
      oldest = &slot;
    }
  }
  if (oldest == nullptr || nowNanos - oldest->sentAt <= kHeldTooLongNanos) return nullptr;
  // PipeWire lends a buffer only while its busy count is 0. The count lives in memory the
  // watchers share and change from their own processes: it is lowered by what they hold for the
  // moment of the dequeue and raised by as much after, so that it goes on counting their holds
  // and the buffer comes round again only once they all gave it back (a count set to 0 would go
  // below it as they do, and let the camera write into a buffer another watcher reads).
  const uint32_t held = __atomic_load_n(&oldest->busy->count, __ATOMIC_SEQ_CST);
  __atomic_sub_fetch(&oldest->busy->count, held, __ATOMIC_SEQ_CST);
  pw_buffer* taken = dequeueFree();
  __atomic_add_fetch(&oldest->busy->count, held, __ATOMIC_SEQ_CST);
  return taken;
}

void OutputNode::retire() {
  base::MutexLock lock(sendingMutex_);
  retired_ = true;
}

void OutputNode::send(media::SampleBufferRef sampleBuffer, uint64_t hostTimeInNanoseconds) {
  const media::PixelBufferRef& picture = sampleBuffer->imageBuffer();
  if (!picture) return;
  base::MutexLock sending(sendingMutex_);
  if (retired_) return;
  PipeWireLoop::Lock lock(loop_);
  if (!video_ || !video_->streaming() || !video_->negotiated() ||
      video_->negotiated()->size != VideoSize{static_cast<uint32_t>(picture->width()),
                                              static_cast<uint32_t>(picture->height())}) {
    return;  // no watcher streams yet, or a frame of a format the watchers no longer take
  }
  ++sequence_;
  pw_buffer* buffer = takeBuffer(hostTimeInNanoseconds);
  if (buffer == nullptr) {
    // Every buffer is still with the watchers: this frame is dropped, but the cycle hands back
    // what they let go of.
    video_->triggerProcess();
    return;
  }
  const VideoFormat format = *video_->negotiated();
  spa_data& data = buffer->buffer->datas[0];
  Slot& slot = slots_[buffer];
  uint64_t& written = slot.contentVersion;
  const uint32_t bytes = format.pictureBytes();
  if (written != picture->contentVersion()) {
    written = data.data != nullptr && data.maxsize >= bytes &&
                      writePicture(*picture, format, static_cast<uint8_t*>(data.data))
                  ? picture->contentVersion()
                  : 0;
  }
  if (written == 0) {
    data.chunk->size = 0;  // unusable memory, or a picture that could not be read: goes back empty
  } else {
    data.chunk->offset = 0;
    data.chunk->size = bytes;
    data.chunk->stride = static_cast<int32_t>(format.rowBytes());
    data.chunk->flags = 0;
  }
  if (slot.header != nullptr) {
    const media::MediaTime pts = sampleBuffer->presentationTimeStamp();
    FrameHeader{pts.valid ? pts : media::MediaTime::fromNanos(hostTimeInNanoseconds), sequence_}
        .write(*slot.header);
  }
  slot.sentAt = hostTimeInNanoseconds;
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
