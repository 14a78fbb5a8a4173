#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "platform/imaging/image_view.h"

namespace platform::imaging {

// Owned four-channel pixels with optional row padding, for tests.
struct TestImage {
  TestImage(int w, int h, std::size_t padding = 0, uint8_t fill = 0)
      : width(w),
        height(h),
        bytesPerRow(static_cast<std::size_t>(w) * 4 + padding),
        bytes(bytesPerRow * h, fill) {}

  uint8_t* pixel(int x, int y) { return bytes.data() + y * bytesPerRow + x * 4; }
  const uint8_t* pixel(int x, int y) const { return bytes.data() + y * bytesPerRow + x * 4; }
  ImageView view() { return {bytes.data(), height, width, bytesPerRow}; }
  ConstImageView constView() const { return {bytes.data(), height, width, bytesPerRow}; }

  int width;
  int height;
  std::size_t bytesPerRow;
  std::vector<uint8_t> bytes;
};

}  // namespace platform::imaging
