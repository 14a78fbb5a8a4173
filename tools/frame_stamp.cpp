#include "tools/frame_stamp.h"

#include <algorithm>
#include <array>

namespace quillane::tools::frame_stamp {
namespace {

// Start pair, one pair per bit, end pair.
constexpr int kBlocks = 2 + 2 * kBits + 2;
constexpr uint64_t kMask = (uint64_t{1} << kBits) - 1;

// Whether each block is white, left to right.
std::array<bool, kBlocks> blocksOf(uint64_t micros) {
  std::array<bool, kBlocks> white{};
  white[0] = true;
  for (int bit = 0; bit < kBits; ++bit) {
    const bool one = (micros >> (kBits - 1 - bit)) & 1;
    white[2 + 2 * bit] = one;
    white[3 + 2 * bit] = !one;
  }
  white[kBlocks - 1] = true;
  return white;
}

bool isWhite(const uint8_t* pixel) {
  return pixel[0] + pixel[1] + pixel[2] > 3 * 128;
}

// Black or white in all three colour channels.
bool isBlackOrWhite(const uint8_t* pixel) {
  const auto [low, high] = std::minmax({pixel[0], pixel[1], pixel[2]});
  return high <= 32 || low >= 223;
}

// A quick look before a row is read: the stamp spans the picture's centre, so one of three pixels
// there a few apart (at most one can sit on the blurred edge between two blocks) is black or white.
bool mayHoldTheStamp(const uint8_t* row, int width) {
  constexpr int kApart = 3;
  const int centre = width / 2;
  for (int x = std::max(0, centre - kApart); x <= std::min(width - 1, centre + kApart);
       x += kApart) {
    if (isBlackOrWhite(row + 4 * x)) return true;
  }
  return false;
}

// The stamp along one row: its ends are the leftmost and rightmost white pixels (the outer
// blocks are white and bars are black), and each block is read at its centre.
std::optional<uint64_t> readRow(const uint8_t* row, int width) {
  if (!mayHoldTheStamp(row, width)) return std::nullopt;
  int left = 0;
  while (left < width && !isWhite(row + 4 * left)) ++left;
  int right = width - 1;
  while (right > left && !isWhite(row + 4 * right)) --right;
  const double blockWidth = double(right - left + 1) / kBlocks;
  if (blockWidth < 2) return std::nullopt;
  std::array<bool, kBlocks> white{};
  for (int block = 0; block < kBlocks; ++block) {
    const int x = left + static_cast<int>((block + 0.5) * blockWidth);
    white[block] = isWhite(row + 4 * x);
  }
  if (!white[0] || white[1] || white[kBlocks - 2] || !white[kBlocks - 1]) return std::nullopt;
  uint64_t micros = 0;
  for (int bit = 0; bit < kBits; ++bit) {
    const bool first = white[2 + 2 * bit];
    if (first == white[3 + 2 * bit]) return std::nullopt;
    micros = micros << 1 | (first ? 1 : 0);
  }
  return micros;
}

}  // namespace

void draw(const Picture& picture, uint64_t micros) {
  const std::array<bool, kBlocks> white = blocksOf(micros & kMask);
  const int bandHeight = std::max(1, picture.height / 8);
  uint8_t* first = picture.pixels;
  for (int x = 0; x < picture.width; ++x) {
    const uint8_t level = white[static_cast<std::size_t>(x) * kBlocks / picture.width] ? 255 : 0;
    std::fill_n(first + 4 * x, 3, level);
    first[4 * x + 3] = 255;
  }
  for (int y = 1; y < bandHeight; ++y) {
    std::copy_n(first, 4 * picture.width, picture.pixels + y * picture.bytesPerRow);
  }
}

std::optional<uint64_t> read(const ConstPicture& picture) {
  for (int y = 0; y < picture.height / 2; ++y) {
    if (auto micros = readRow(picture.pixels + y * picture.bytesPerRow, picture.width)) {
      return micros;
    }
  }
  return std::nullopt;
}

uint64_t ageMicros(uint64_t stamp, uint64_t nowMicros) {
  return (nowMicros - stamp) & kMask;
}

}  // namespace quillane::tools::frame_stamp
