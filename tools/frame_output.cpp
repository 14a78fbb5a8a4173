#include "tools/frame_output.h"

#include "formats/frame_stream_format.h"
#include "platform/io/file_descriptor.h"

namespace quillane::tools {

bool writeFrame(int fd, uint32_t width, uint32_t height, const uint8_t* rgba) {
  const frame_stream::HeaderBytes header = frame_stream::headerFor(width, height);
  return platform::io::writeAll(fd, header.data(), header.size()) &&
         platform::io::writeAll(fd, rgba, frame_stream::payloadLength(width, height));
}

}  // namespace quillane::tools
