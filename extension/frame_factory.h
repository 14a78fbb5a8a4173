#pragma once

#include <cstdint>
#include <vector>

#include "platform/base/mutex.h"
#include "platform/media/media_time.h"
#include "platform/media/pixel_buffer.h"
#include "platform/media/pixel_buffer_pool.h"
#include "platform/media/sample_buffer.h"

namespace quillane {

// Makes every picture the camera sends: pooled buffers per format, the cached placeholder
// picture, incoming frames fitted to a format, and timed sample buffers. Formats are named by
// their index into VideoFormat::all(); an invalid index is fatal. A null result means the
// platform refused a step. Safe from any thread: `lock_` guards the two caches; drawing and
// scaling run outside it. The device calls it only from its frame queue.
class FrameFactory {
 public:
  FrameFactory();
  FrameFactory(const FrameFactory&) = delete;
  FrameFactory& operator=(const FrameFactory&) = delete;

  // A buffer of the format from its pool; contents undefined.
  platform::media::PixelBufferRef makeBuffer(int64_t formatIndex);

  // The format's placeholder picture, drawn on first use and then shared by reference.
  platform::media::PixelBufferRef placeholder(int64_t formatIndex);

  // The incoming BGRA picture in the format's size: the buffer itself when the size already
  // matches, otherwise a new buffer with the picture scaled to fit, centred between zero bars.
  // Null for a buffer that is not BGRA, since it would be sent labelled as BGRA.
  platform::media::PixelBufferRef conform(const platform::media::PixelBufferRef& buffer,
                                          int64_t formatIndex);

  // Wraps the buffer in a sample buffer of 1/30 s at `pts`, using the format's shared
  // description when the sizes match.
  static platform::media::SampleBufferRef sampleBuffer(platform::media::PixelBufferRef buffer,
                                                       int64_t formatIndex,
                                                       platform::media::MediaTime pts);

 private:
  // Draws a new placeholder into a pooled buffer.
  platform::media::PixelBufferRef drawPlaceholder(int64_t formatIndex) QLN_EXCLUDES(lock_);

  platform::base::Mutex lock_;
  std::vector<platform::media::PixelBufferPoolRef> pools_ QLN_GUARDED_BY(lock_);
  std::vector<platform::media::PixelBufferRef> placeholders_ QLN_GUARDED_BY(lock_);
};

}  // namespace quillane
