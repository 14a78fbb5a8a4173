#pragma once

#include <memory>

#include "platform/media/format_description.h"
#include "platform/media/media_time.h"
#include "platform/media/pixel_buffer.h"

namespace platform::media {

struct SampleTimingInfo {
  MediaTime duration;
  MediaTime presentationTimeStamp;
  MediaTime decodeTimeStamp;
};

// A timed picture (CMSampleBuffer made for an image buffer). Immutable once made; shared by
// reference, holding its own reference to the pixel buffer and the description.
class SampleBuffer {
 public:
  // nullptr when the buffer or description is missing, the description does not match the
  // buffer, or the platform refuses. `sequenceNumber` is the sender's, when it numbers its
  // frames: a receiver counts the frames it missed from the gaps.
  static std::shared_ptr<SampleBuffer> createForImageBuffer(PixelBufferRef imageBuffer,
                                                            bool dataReady,
                                                            FormatDescriptionRef description,
                                                            const SampleTimingInfo& timing,
                                                            uint64_t sequenceNumber = 0);

  const PixelBufferRef& imageBuffer() const { return imageBuffer_; }
  const FormatDescriptionRef& formatDescription() const { return description_; }
  bool dataIsReady() const { return dataReady_; }
  MediaTime duration() const { return timing_.duration; }
  MediaTime presentationTimeStamp() const { return timing_.presentationTimeStamp; }
  MediaTime decodeTimeStamp() const { return timing_.decodeTimeStamp; }
  // The sender's sequence number; 0 when the sender gave none.
  uint64_t sequenceNumber() const { return sequenceNumber_; }

  SampleBuffer(PixelBufferRef imageBuffer, bool dataReady, FormatDescriptionRef description,
               const SampleTimingInfo& timing, uint64_t sequenceNumber = 0)
      : imageBuffer_(std::move(imageBuffer)),
        description_(std::move(description)),
        timing_(timing),
        dataReady_(dataReady),
        sequenceNumber_(sequenceNumber) {}

 private:
  PixelBufferRef imageBuffer_;
  FormatDescriptionRef description_;
  SampleTimingInfo timing_;
  bool dataReady_;
  uint64_t sequenceNumber_;
};

using SampleBufferRef = std::shared_ptr<SampleBuffer>;

}  // namespace platform::media
