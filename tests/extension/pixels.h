#pragma once

#include <array>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "platform/media/pixel_buffer.h"

namespace quillane::test {

using Bgra = std::array<uint8_t, 4>;

// A new buffer of `width` × `height` with every pixel set to `color` (bytes in memory order).
inline platform::media::PixelBufferRef solidBuffer(
    int width, int height, Bgra color,
    platform::media::FourCC pixelFormat = platform::media::kPixelFormat32BGRA) {
  auto buffer = platform::media::PixelBuffer::create(width, height, pixelFormat);
  platform::media::BaseAddressLock pixels(*buffer,
                                          platform::media::PixelBuffer::LockFlags::ReadWrite);
  for (int y = 0; y < height; ++y) {
    uint8_t* row = pixels.data() + y * buffer->bytesPerRow();
    for (int x = 0; x < width; ++x) std::memcpy(row + x * 4, color.data(), 4);
  }
  return buffer;
}

inline Bgra pixelAt(platform::media::PixelBuffer& buffer, int x, int y) {
  platform::media::BaseAddressLock pixels(buffer,
                                          platform::media::PixelBuffer::LockFlags::ReadOnly);
  Bgra out;
  std::memcpy(out.data(), pixels.data() + y * buffer.bytesPerRow() + x * 4, 4);
  return out;
}

// True when every byte of columns [x0, x1) of row y is zero.
inline bool spanIsZero(platform::media::PixelBuffer& buffer, int y, int x0, int x1) {
  platform::media::BaseAddressLock pixels(buffer,
                                          platform::media::PixelBuffer::LockFlags::ReadOnly);
  const uint8_t* row = pixels.data() + y * buffer.bytesPerRow();
  for (int i = x0 * 4; i < x1 * 4; ++i) {
    if (row[i] != 0) return false;
  }
  return true;
}

// True when every byte of columns [x0, x1) of row y is within `tolerance` of `color`
// (a scaler's rounding may move a flat colour by a step or two).
inline bool spanNear(platform::media::PixelBuffer& buffer, int y, int x0, int x1, Bgra color,
                     int tolerance) {
  platform::media::BaseAddressLock pixels(buffer,
                                          platform::media::PixelBuffer::LockFlags::ReadOnly);
  const uint8_t* row = pixels.data() + y * buffer.bytesPerRow();
  for (int x = x0; x < x1; ++x) {
    for (int c = 0; c < 4; ++c) {
      if (std::abs(row[x * 4 + c] - color[c]) > tolerance) return false;
    }
  }
  return true;
}

}  // namespace quillane::test
