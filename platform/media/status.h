#pragma once

#include <cstddef>
#include <cstdint>

namespace platform::media {

// Platform status codes (OSStatus): 0 is success.
using Status = int32_t;
constexpr Status kStatusOK = 0;
constexpr Status kStatusInvalidParameter = -12780;
constexpr Status kStatusAllocationFailed = -12781;
constexpr Status kSimpleQueueFull = -12773;

// Four-character codes, first character in the most significant byte.
using FourCC = uint32_t;
constexpr FourCC fourCC(const char (&code)[5]) {
  return (FourCC(uint8_t(code[0])) << 24) | (FourCC(uint8_t(code[1])) << 16) |
         (FourCC(uint8_t(code[2])) << 8) | FourCC(uint8_t(code[3]));
}
constexpr FourCC kPixelFormat32BGRA = fourCC("BGRA");  // 0x42475241
constexpr FourCC kPixelFormat32RGBA = fourCC("RGBA");
// BGRA whose fourth byte means nothing (PipeWire's and GStreamer's BGRx); CoreVideo has no code.
constexpr FourCC kPixelFormat32BGRX = fourCC("BGRx");
// 4:2:2 Y'CbCr, each pair of pixels in 4 bytes Y'0 Cb Y'1 Cr: YUY2, V4L2's YUYV, CoreVideo's
// kCVPixelFormatType_422YpCbCr8_yuvs. BT.601 video range wherever this project makes it.
constexpr FourCC kPixelFormatYUY2 = fourCC("yuvs");

// The bytes a row of `width` pixels of `pixelFormat` takes without padding: 2 a pixel for YUY2
// (rounded up to whole pairs), 4 for every other format.
constexpr std::size_t unpaddedBytesPerRow(FourCC pixelFormat, int width) {
  const auto pixels = static_cast<std::size_t>(width);
  return pixelFormat == kPixelFormatYUY2 ? (pixels + 1) / 2 * 4 : pixels * 4;
}

}  // namespace platform::media
