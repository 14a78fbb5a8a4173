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

// One row of a picture being read.
struct Row {
  const uint8_t* bytes;
  Layout layout;
};

// The three colour channels of pixel x, in some order; YUY2 converted with BT.601 video range.
std::array<uint8_t, 3> colourAt(const Row& row, int x) {
  if (row.layout == Layout::kFourBytes) {
    const uint8_t* pixel = row.bytes + 4 * x;
    return {pixel[0], pixel[1], pixel[2]};
  }
  const uint8_t* pair = row.bytes + 4 * (x / 2);
  const int luma = 298 * (row.bytes[2 * x] - 16) + 128;
  const int cb = pair[1] - 128;
  const int cr = pair[3] - 128;
  const auto channel = [](int value) {
    return static_cast<uint8_t>(std::clamp(value >> 8, 0, 255));
  };
  return {channel(luma + 409 * cr), channel(luma - 100 * cb - 208 * cr), channel(luma + 516 * cb)};
}

bool isWhite(const Row& row, int x) {
  const std::array<uint8_t, 3> pixel = colourAt(row, x);
  return pixel[0] + pixel[1] + pixel[2] > 3 * 128;
}

// Black or white in all three colour channels.
bool isBlackOrWhite(const Row& row, int x) {
  const std::array<uint8_t, 3> pixel = colourAt(row, x);
  const auto [low, high] = std::minmax({pixel[0], pixel[1], pixel[2]});
  return high <= 32 || low >= 223;
}

// A quick look before a row is read: the stamp spans the picture's centre, so one of three pixels
// there a few apart (at most one can sit on the blurred edge between two blocks) is black or white.
bool mayHoldTheStamp(const Row& row, int width) {
  constexpr int kApart = 3;
  const int centre = width / 2;
  for (int x = std::max(0, centre - kApart); x <= std::min(width - 1, centre + kApart);
       x += kApart) {
    if (isBlackOrWhite(row, x)) return true;
  }
  return false;
}

// The stamp along one row: its ends are the leftmost and rightmost white pixels (the outer
// blocks are white and bars are black), and each block is read at its centre.
std::optional<uint64_t> readRow(const Row& row, int width) {
  if (!mayHoldTheStamp(row, width)) return std::nullopt;
  int left = 0;
  while (left < width && !isWhite(row, left)) ++left;
  int right = width - 1;
  while (right > left && !isWhite(row, right)) --right;
  const double blockWidth = double(right - left + 1) / kBlocks;
  if (blockWidth < 2) return std::nullopt;
  std::array<bool, kBlocks> white{};
  for (int block = 0; block < kBlocks; ++block) {
    const int x = left + static_cast<int>((block + 0.5) * blockWidth);
    white[block] = isWhite(row, x);
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
    if (auto micros =
            readRow({picture.pixels + y * picture.bytesPerRow, picture.layout}, picture.width)) {
      return micros;
    }
  }
  return std::nullopt;
}

uint64_t ageMicros(uint64_t stamp, uint64_t nowMicros) {
  return (nowMicros - stamp) & kMask;
}

}  // namespace quillane::tools::frame_stamp
