#pragma once

#include <spa/buffer/buffer.h>
#include <spa/buffer/meta.h>

#include <cstdint>

#include "platform/media/media_time.h"
#include "platform/media/sample_buffer.h"

namespace platform::camera::pipewire {

// What a frame carries beside its picture, in its buffer's header (spa_meta_header): the
// sender's presentation time (host-clock nanoseconds) and sequence number. It travels with the
// frame from a producer through the camera's sink into the sample the extension receives, and
// from the camera to its watchers.
struct FrameHeader {
  media::MediaTime presentationTime;  // invalid when the sender gave none
  uint64_t sequenceNumber = 0;

  // The header of a buffer; null when it has none.
  static spa_meta_header* of(spa_buffer& buffer);
  // What a peer wrote, taken as it is since both numbers are only passed on; a frame that came
  // without a time is as old as its arrival.
  static FrameHeader received(const spa_meta_header* header, uint64_t arrivalNanos);
  void write(spa_meta_header& header) const;

  // The picture as a sample of one frame's duration, with this time and number.
  media::SampleBufferRef sample(media::PixelBufferRef picture,
                                media::FormatDescriptionRef description) const;
};

}  // namespace platform::camera::pipewire
