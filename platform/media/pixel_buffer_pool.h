#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "platform/media/pixel_buffer.h"

namespace platform::media {

// What a pool makes (the pixel-buffer attributes dictionary). `shareable` stands for the
// IOSurface properties key: buffers that may cross to another process.
struct PixelBufferAttributes {
  FourCC pixelFormat = kPixelFormat32BGRA;
  int64_t width = 0;
  int64_t height = 0;
  bool shareable = true;
  bool operator==(const PixelBufferAttributes&) const = default;
};

// Recycles pixel buffers of one size and format (CVPixelBufferPool). A buffer goes back to the
// pool only when its last holder has let go of it, and is handed out again only then; buffers
// outliving the pool are simply freed, and so are buffers returned still locked or beyond a
// small cap on free buffers. Thread-safe: the free list is guarded by the pool's own mutex and
// a buffer may be released on any thread.
class PixelBufferPool : public std::enable_shared_from_this<PixelBufferPool> {
 public:
  // nullptr when the attributes are unusable (sizes below 1, above PixelBuffer::kMaxDimension)
  // or the platform refuses.
  static std::shared_ptr<PixelBufferPool> create(const PixelBufferAttributes& attributes);
  ~PixelBufferPool();

  // A free buffer, or a new one when none is free; nullptr when memory cannot be had.
  PixelBufferRef createPixelBuffer();

  const PixelBufferAttributes& attributes() const;
  std::size_t buffersAllocated() const;  // buffers made over the pool's life (steady-state checks)
  std::size_t freeBuffers() const;

  struct State;

 private:
  explicit PixelBufferPool(std::shared_ptr<State> state);
  std::shared_ptr<State> state_;
};

using PixelBufferPoolRef = std::shared_ptr<PixelBufferPool>;

}  // namespace platform::media
