#include "tools/frame_output.h"

#include <unistd.h>

#include <cerrno>
#include <cstddef>

#include "formats/frame_stream_format.h"

namespace quillane::tools {
namespace {

bool writeAll(int fd, const uint8_t* data, std::size_t count) {
  while (count > 0) {
    const ssize_t written = ::write(fd, data, count);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return false;
    data += written;
    count -= static_cast<std::size_t>(written);
  }
  return true;
}

}  // namespace

bool writeFrame(int fd, uint32_t width, uint32_t height, const uint8_t* rgba) {
  const frame_stream::HeaderBytes header = frame_stream::headerFor(width, height);
  return writeAll(fd, header.data(), header.size()) &&
         writeAll(fd, rgba, frame_stream::payloadLength(width, height));
}

}  // namespace quillane::tools
