#pragma once

#include <utility>

#include "platform/base/mutex.h"
#include "platform/dispatch/clock.h"
#include "platform/media/format_description.h"
#include "platform/media/pixel_buffer.h"
#include "platform/media/sample_buffer.h"

namespace camd {

// Turns one RGBA frame into a timed BGRA sample buffer, written into a picture the caller got
// from the camera's sink stream, with the format description of pictures of its size.
// makeSample() runs on one thread (the frame pump's calling thread); the format description is
// shared with forgetFormatDescription() under formatDescMutex_.
class FrameConverter {
 public:
  // Stamps samples with the time on `clock`.
  explicit FrameConverter(std::shared_ptr<platform::dispatch::Clock> clock)
      : clock_(std::move(clock)) {}

  // A sample of the frame (the picture's width × 4 × height bytes at `rgba`), converted into
  // `picture`, stamped with the clock's time and lasting 1/30 s; nullptr when a platform step
  // refused and the frame must be dropped.
  platform::media::SampleBufferRef makeSample(const uint8_t* rgba,
                                              platform::media::PixelBufferRef picture);

  // Makes the next sample describe its buffer afresh. Any thread.
  void forgetFormatDescription();

 private:
  // The cached description, made from `buffer` when there is none or it describes another
  // size; nullptr when refused.
  platform::media::FormatDescriptionRef formatDescriptionFor(
      const platform::media::PixelBuffer& buffer);

  const std::shared_ptr<platform::dispatch::Clock> clock_;
  platform::base::Mutex formatDescMutex_;
  platform::media::FormatDescriptionRef formatDesc_ QLN_GUARDED_BY(formatDescMutex_);
};

}  // namespace camd
