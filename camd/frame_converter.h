#pragma once

#include <utility>

#include "platform/base/mutex.h"
#include "platform/dispatch/clock.h"
#include "platform/media/format_description.h"
#include "platform/media/pixel_buffer_pool.h"
#include "platform/media/sample_buffer.h"

namespace camd {

// Turns one RGBA frame into a timed BGRA sample buffer, from a pixel-buffer pool kept for the
// current frame size with the format description of its buffers. makeSample() runs on one thread
// (the frame pump's calling thread), which alone touches the pool; the format description is
// shared with forgetFormatDescription() under formatDescMutex_.
class FrameConverter {
 public:
  // Stamps samples with the time on `clock`.
  explicit FrameConverter(std::shared_ptr<platform::dispatch::Clock> clock)
      : clock_(std::move(clock)) {}

  // A sample of the frame (width × 4 × height bytes at `rgba`) stamped with the clock's time and
  // lasting 1/30 s; nullptr when a platform step refused and the frame must be dropped.
  platform::media::SampleBufferRef makeSample(const uint8_t* rgba, int width, int height);

  // Makes the next sample describe its buffer afresh; the pool stays. Any thread.
  void forgetFormatDescription();

  // The pool of the current frame size; nullptr before the first frame. Converting thread.
  const platform::media::PixelBufferPoolRef& pool() const { return pool_; }

 private:
  // The cached description, made from `buffer` when there is none; nullptr when refused.
  platform::media::FormatDescriptionRef formatDescriptionFor(
      const platform::media::PixelBuffer& buffer);

  const std::shared_ptr<platform::dispatch::Clock> clock_;
  platform::media::PixelBufferPoolRef pool_;
  std::pair<int, int> poolSize_{0, 0};
  platform::base::Mutex formatDescMutex_;
  platform::media::FormatDescriptionRef formatDesc_ QLN_GUARDED_BY(formatDescMutex_);
};

}  // namespace camd
