#pragma once

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

}  // namespace platform::media
