#include "platform/camera/pipewire/shared/frame_header.h"

namespace platform::camera::pipewire {

spa_meta_header* FrameHeader::of(spa_buffer& buffer) {
  return static_cast<spa_meta_header*>(
      spa_buffer_find_meta_data(&buffer, SPA_META_Header, sizeof(spa_meta_header)));
}

FrameHeader FrameHeader::received(const spa_meta_header* header, uint64_t arrivalNanos) {
  if (header == nullptr || header->pts < 0) {
    return {media::MediaTime::fromNanos(arrivalNanos), header != nullptr ? header->seq : 0};
  }
  return {media::MediaTime::fromNanos(static_cast<uint64_t>(header->pts)), header->seq};
}

void FrameHeader::write(spa_meta_header& header) const {
  header.flags = 0;
  header.seq = sequenceNumber;
  header.pts = presentationTime.valid ? presentationTime.nanos() : -1;
  header.dts_offset = 0;
}

}  // namespace platform::camera::pipewire

namespace platform::camera::pipewire {

media::SampleBufferRef FrameHeader::sample(media::PixelBufferRef picture,
                                           media::FormatDescriptionRef description) const {
  // The camera's one frame rate: the header carries no duration.
  return media::SampleBuffer::createForImageBuffer(
      std::move(picture), true, std::move(description),
      {media::MediaTime::make(1, 30), presentationTime, media::MediaTime::invalid()},
      sequenceNumber);
}

}  // namespace platform::camera::pipewire
