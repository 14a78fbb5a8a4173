// Writes a moving test pattern to standard output in the frame stream format that
// `quillane-camd run` reads (formats/frame_stream_format.h).
//
//   quillane-test-pattern [--size WxH] [--fps N] [--frames N] [--stamp]
//
// --fps 0 writes as fast as the reader takes frames; --frames 0 writes until the reader goes.
// --stamp draws the host-clock time at which each frame is written across the picture's top, for
// a watcher to measure how long the frame took to reach it (tools/frame_stamp.h).
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string_view>
#include <thread>
#include <vector>

#include "platform/dispatch/clock.h"
#include "platform/io/file_descriptor.h"
#include "platform/io/pipe.h"
#include "tools/arguments.h"
#include "tools/frame_output.h"
#include "tools/frame_stamp.h"

namespace {

using quillane::tools::FrameSize;

struct Options {
  FrameSize size{1280, 720};
  double fps = 30;
  uint64_t frames = 0;
  bool stamp = false;
};

std::optional<Options> parseOptions(int argc, char** argv) {
  namespace tools = quillane::tools;
  Options options;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg == "--stamp") {
      options.stamp = true;
      continue;
    }
    if (i + 1 >= argc) return std::nullopt;
    const std::string_view value = argv[++i];
    if (arg == "--size") {
      const auto size = tools::parseSize(value);
      if (!size) return std::nullopt;
      options.size = *size;
    } else if (arg == "--fps") {
      const auto fps = tools::parseDecimal(value);
      if (!fps) return std::nullopt;
      options.fps = *fps;
    } else if (arg == "--frames") {
      const auto frames = tools::parseCount(value);
      if (!frames) return std::nullopt;
      options.frames = *frames;
    } else {
      return std::nullopt;
    }
  }
  return options;
}

// Colour bars that scroll sideways and a white square moving down. Every row of bars is the same,
// so one row is drawn and copied.
class TestPattern {
 public:
  explicit TestPattern(FrameSize size)
      : width_(size.width), height_(size.height), pixels_(size_t{width_} * 4 * height_) {}

  const std::vector<uint8_t>& draw(uint64_t index) {
    static const uint8_t kBars[8][3] = {{235, 235, 235}, {235, 235, 16}, {16, 235, 235},
                                        {16, 235, 16},   {235, 16, 235}, {235, 16, 16},
                                        {16, 16, 235},   {16, 16, 16}};
    const size_t rowBytes = size_t{width_} * 4;
    const uint32_t shift = static_cast<uint32_t>(index * 4 % width_);
    for (uint32_t x = 0; x < width_; ++x) {
      const uint8_t* bar = kBars[((x + shift) % width_) * 8 / width_];
      std::copy_n(bar, 3, &pixels_[x * 4]);
      pixels_[x * 4 + 3] = 255;
    }
    for (uint32_t y = 1; y < height_; ++y) {
      std::copy_n(pixels_.begin(), rowBytes, pixels_.begin() + y * rowBytes);
    }
    const uint32_t square = std::max<uint32_t>(std::min(width_, height_) / 8, 1);
    const uint32_t top = static_cast<uint32_t>(index * 3 % (height_ - square + 1));
    const uint32_t left = (width_ - square) / 2;
    for (uint32_t y = top; y < top + square; ++y) {
      std::fill_n(pixels_.begin() + y * rowBytes + left * 4, square * 4, uint8_t{255});
    }
    return pixels_;
  }

  // Draws the host time of now over the picture's top.
  void stamp() {
    quillane::tools::frame_stamp::draw(
        {pixels_.data(), static_cast<int>(width_), static_cast<int>(height_), size_t{width_} * 4},
        platform::dispatch::hostClock()->nowNanos() / 1000);
  }

 private:
  uint32_t width_;
  uint32_t height_;
  std::vector<uint8_t> pixels_;
};

}  // namespace

int main(int argc, char** argv) {
  const std::optional<Options> options = parseOptions(argc, argv);
  if (!options) {
    std::fprintf(stderr,
                 "usage: quillane-test-pattern [--size WxH] [--fps N] [--frames N] [--stamp]\n");
    return 2;
  }
  platform::io::ignoreBrokenPipeSignal();
  TestPattern pattern(options->size);
  using Clock = std::chrono::steady_clock;
  const auto start = Clock::now();
  for (uint64_t index = 0; options->frames == 0 || index < options->frames; ++index) {
    if (options->fps > 0) {
      std::this_thread::sleep_until(start + std::chrono::duration<double>(index / options->fps));
    }
    const std::vector<uint8_t>& pixels = pattern.draw(index);
    if (options->stamp) pattern.stamp();
    if (!quillane::tools::writeFrame(platform::io::kStandardOutput, options->size.width,
                                     options->size.height, pixels.data())) {
      return 0;  // the reader went away
    }
  }
  return 0;
}
