// Writes a moving test pattern to standard output in the frame stream format that
// `quillane-camd run` reads: a 16-byte header ("QLN1", width, height, length, little-endian)
// followed by width × height RGBA pixels, for each frame.
//
//   quillane-test-pattern [--size WxH] [--fps N] [--frames N]
//
// --fps 0 writes as fast as the reader takes frames; --frames 0 writes until the reader goes.
#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

struct Options {
  uint32_t width = 1280;
  uint32_t height = 720;
  double fps = 30;
  uint64_t frames = 0;
};

bool parseOptions(int argc, char** argv, Options& options) {
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
    if (!value) return false;
    if (arg == "--size") {
      if (std::sscanf(value, "%ux%u", &options.width, &options.height) != 2) return false;
    } else if (arg == "--fps") {
      options.fps = std::atof(value);
    } else if (arg == "--frames") {
      options.frames = std::strtoull(value, nullptr, 10);
    } else {
      return false;
    }
    ++i;
  }
  return options.width >= 1 && options.width <= 8192 && options.height >= 1 &&
         options.height <= 8192 && options.fps >= 0;
}

void putLittleEndian(uint8_t* out, uint32_t value) {
  for (int i = 0; i < 4; ++i) out[i] = static_cast<uint8_t>(value >> (8 * i));
}

// Colour bars that scroll sideways, with a white square moving down and a frame counter band.
void drawFrame(std::vector<uint8_t>& pixels, uint32_t width, uint32_t height, uint64_t index) {
  static const uint8_t kBars[8][3] = {{235, 235, 235}, {235, 235, 16}, {16, 235, 235},
                                      {16, 235, 16},   {235, 16, 235}, {235, 16, 16},
                                      {16, 16, 235},   {16, 16, 16}};
  const uint32_t shift = static_cast<uint32_t>(index * 4 % width);
  const uint32_t square = std::max<uint32_t>(height / 8, 1);
  const uint32_t squareTop =
      static_cast<uint32_t>(index * 3 % (height - std::min(height, square) + 1));
  for (uint32_t y = 0; y < height; ++y) {
    uint8_t* row = pixels.data() + static_cast<size_t>(y) * width * 4;
    for (uint32_t x = 0; x < width; ++x) {
      const uint8_t* bar = kBars[((x + shift) % width) * 8 / width];
      bool inSquare = y >= squareTop && y < squareTop + square && x >= width / 2 - square / 2 &&
                      x < width / 2 - square / 2 + square;
      row[x * 4 + 0] = inSquare ? 255 : bar[0];
      row[x * 4 + 1] = inSquare ? 255 : bar[1];
      row[x * 4 + 2] = inSquare ? 255 : bar[2];
      row[x * 4 + 3] = 255;
    }
  }
}

bool writeAll(const uint8_t* data, size_t count) {
  while (count > 0) {
    size_t written = std::fwrite(data, 1, count, stdout);
    if (written == 0) return false;
    data += written;
    count -= written;
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  if (!parseOptions(argc, argv, options)) {
    std::fprintf(stderr, "usage: quillane-test-pattern [--size WxH] [--fps N] [--frames N]\n");
    return 2;
  }
  std::signal(SIGPIPE, SIG_IGN);
  const uint32_t length = options.width * 4 * options.height;
  std::vector<uint8_t> pixels(length);
  uint8_t header[16] = {'Q', 'L', 'N', '1'};
  putLittleEndian(header + 4, options.width);
  putLittleEndian(header + 8, options.height);
  putLittleEndian(header + 12, length);

  using Clock = std::chrono::steady_clock;
  const auto start = Clock::now();
  for (uint64_t index = 0; options.frames == 0 || index < options.frames; ++index) {
    if (options.fps > 0) {
      std::this_thread::sleep_until(start + std::chrono::duration<double>(index / options.fps));
    }
    drawFrame(pixels, options.width, options.height, index);
    if (!writeAll(header, sizeof header) || !writeAll(pixels.data(), length) ||
        std::fflush(stdout) != 0) {
      return 0;  // the reader went away
    }
  }
  return 0;
}
