#pragma once

#include <cstddef>
#include <cstdint>

namespace platform::imaging {

// A region of 8-bit pixels (vImage_Buffer): rows of `width` pixels, `bytesPerRow` apart, which may
// exceed what a row holds. Four channels a pixel unless a call says otherwise.
struct ImageView {
  uint8_t* data = nullptr;
  int height = 0;
  int width = 0;
  std::size_t bytesPerRow = 0;
};

struct ConstImageView {
  const uint8_t* data = nullptr;
  int height = 0;
  int width = 0;
  std::size_t bytesPerRow = 0;
};

// vImage-style error codes: 0 is success.
using ImagingError = long;
constexpr ImagingError kImagingNoError = 0;
constexpr ImagingError kImagingRoiLargerThanInputBuffer = -21766;
constexpr ImagingError kImagingInvalidParameter = -21773;
constexpr ImagingError kImagingNullPointerArgument = -21772;
constexpr ImagingError kImagingMemoryAllocationError = -21771;

}  // namespace platform::imaging
