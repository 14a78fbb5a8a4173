#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

// A time stamp drawn into a picture: a band of large black and white blocks across the top eighth
// of the picture, which the camera's fitting to any offered size (scaling, bars beside or above)
// leaves readable. Each bit is a white-black or black-white pair of blocks, between a white-black
// start and a black-white end, so a row of anything else does not read as a stamp. The blocks
// are grey levels, so the band reads the same in RGBA, BGRA and BGRx pictures, and in their YUY2
// conversion. It reads back while each of its 84 blocks is at least 4 pixels wide. Pure
// functions; any thread.
namespace quillane::tools::frame_stamp {

// The stamp carries the host clock in microseconds, modulo 2^kBits (12.7 days).
inline constexpr int kBits = 40;

// A picture of 4-byte pixels, rows `bytesPerRow` apart.
struct Picture {
  uint8_t* pixels;
  int width;
  int height;
  std::size_t bytesPerRow;
};

// How a read picture's pixels lie: 4 bytes each (red, green and blue among them), or YUY2 (each
// pair of pixels in 4 bytes Y'0 Cb Y'1 Cr, BT.601 video range).
enum class Layout { kFourBytes, kYuy2 };

struct ConstPicture {
  const uint8_t* pixels;
  int width;
  int height;
  std::size_t bytesPerRow;
  Layout layout = Layout::kFourBytes;
};

// Draws the low kBits of `micros` over the picture's top eighth, opaque.
void draw(const Picture& picture, uint64_t micros);

// The stamp the picture carries, searched for in its top half; nullopt when it carries none.
std::optional<uint64_t> read(const ConstPicture& picture);

// Microseconds from a stamp to the host time `nowMicros`, across the stamp's wrap.
uint64_t ageMicros(uint64_t stamp, uint64_t nowMicros);

}  // namespace quillane::tools::frame_stamp
