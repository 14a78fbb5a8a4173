#pragma once

#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/media/pixel_buffer.h"

// The files the viewer writes what it sees into. Each call runs on the calling thread and only
// reads the picture.
namespace quillane::view {

// Writes a BGRA, BGRx or YUY2 picture as a PNG file (with alpha from BGRA, opaque from YUY2,
// without alpha from BGRx). nullopt when written, else why not.
std::optional<std::string> writePng(platform::media::PixelBuffer& picture, const std::string& path);

// A YUV4MPEG2 stream (4:2:0, BT.601 limited range) that ffmpeg and ffplay read, of the size of its
// first frame. One thread at a time.
class Y4mStream {
 public:
  // "-" opens standard output. nullptr when the file cannot be opened.
  static std::unique_ptr<Y4mStream> open(const std::string& path);
  ~Y4mStream();
  Y4mStream(const Y4mStream&) = delete;
  Y4mStream& operator=(const Y4mStream&) = delete;

  // Converts a BGRA, BGRx or YUY2 picture and appends it; a picture of another size than the
  // first is left out. nullopt when written, else why not.
  std::optional<std::string> append(platform::media::PixelBuffer& picture);

 private:
  explicit Y4mStream(FILE* file) : file_(file) {}
  FILE* file_;
  int width_ = 0;
  int height_ = 0;
  std::vector<uint8_t> planes_;  // Y, then U, then V
};

}  // namespace quillane::view
