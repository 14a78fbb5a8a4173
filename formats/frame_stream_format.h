#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

// The frame stream that `quillane-camd run` reads: frames back to back, each a 16-byte header
// (the magic "QLN1", then width, height and payload length as unsigned 32-bit little-endian
// numbers) followed by width × height RGBA pixels, rows tightly packed, top row first. Nothing
// before the first frame, after the last or between frames. Constants and pure functions only.
namespace quillane::frame_stream {

inline constexpr std::size_t kHeaderSize = 16;
using HeaderBytes = std::array<uint8_t, kHeaderSize>;
using Magic = std::array<uint8_t, 4>;

inline constexpr Magic kMagic = {'Q', 'L', 'N', '1'};
inline constexpr uint32_t kBytesPerPixel = 4;
inline constexpr uint32_t kMaxDimension = 8192;

// The header's three numbers as written, whatever they say.
struct FrameHeader {
  uint32_t width = 0;
  uint32_t height = 0;
  uint32_t length = 0;
};

// The payload length a frame of this size carries; 64-bit, so no 32-bit field overflows it.
constexpr uint64_t payloadLength(uint64_t width, uint64_t height) {
  return width * kBytesPerPixel * height;
}

constexpr HeaderBytes encodeHeader(const FrameHeader& fields, const Magic& magic = kMagic) {
  HeaderBytes bytes{};
  for (std::size_t i = 0; i < magic.size(); ++i) bytes[i] = magic[i];
  const uint32_t numbers[] = {fields.width, fields.height, fields.length};
  for (std::size_t field = 0; field < 3; ++field) {
    for (std::size_t i = 0; i < 4; ++i) {
      bytes[4 + 4 * field + i] = static_cast<uint8_t>(numbers[field] >> (8 * i));
    }
  }
  return bytes;
}

// The header of a well-formed frame of this size; sizes within kMaxDimension.
constexpr HeaderBytes headerFor(uint32_t width, uint32_t height) {
  return encodeHeader({width, height, static_cast<uint32_t>(payloadLength(width, height))});
}

// Whether the header starts with kMagic, compared byte by byte.
constexpr bool hasMagic(const HeaderBytes& bytes) {
  for (std::size_t i = 0; i < kMagic.size(); ++i) {
    if (bytes[i] != kMagic[i]) return false;
  }
  return true;
}

constexpr FrameHeader decodeHeader(const HeaderBytes& bytes) {
  uint32_t numbers[3] = {};
  for (std::size_t field = 0; field < 3; ++field) {
    for (std::size_t i = 0; i < 4; ++i) {
      numbers[field] |= uint32_t{bytes[4 + 4 * field + i]} << (8 * i);
    }
  }
  return {numbers[0], numbers[1], numbers[2]};
}

// Both sizes in 1…kMaxDimension and the length exactly width × 4 × height.
constexpr bool isValid(const FrameHeader& fields) {
  const auto validDimension = [](uint32_t value) { return value >= 1 && value <= kMaxDimension; };
  return validDimension(fields.width) && validDimension(fields.height) &&
         fields.length == payloadLength(fields.width, fields.height);
}

}  // namespace quillane::frame_stream
