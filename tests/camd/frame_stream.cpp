#include "tests/camd/frame_stream.h"

#include <fcntl.h>
#include <unistd.h>

#include <stdexcept>

#include "formats/frame_stream_format.h"
#include "platform/io/file_descriptor.h"

namespace camd::testing {

namespace frame_stream = quillane::frame_stream;

std::string frameHeader(uint32_t width, uint32_t height, uint32_t length,
                        const std::string& magic) {
  frame_stream::Magic magicBytes{};
  magic.copy(reinterpret_cast<char*>(magicBytes.data()), magicBytes.size());
  const frame_stream::HeaderBytes header =
      frame_stream::encodeHeader({width, height, length}, magicBytes);
  return std::string(header.begin(), header.end());
}

std::string frame(uint32_t width, uint32_t height, uint8_t fill) {
  const auto length = static_cast<uint32_t>(frame_stream::payloadLength(width, height));
  return frameHeader(width, height, length) + std::string(length, static_cast<char>(fill));
}

Pipe::Pipe() {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe2 failed");
  reader.reset(fds[0]);
  writer.reset(fds[1]);
  // Room for the test's frames, so writing never waits for the reader.
  (void)::fcntl(fds[1], F_SETPIPE_SZ, 1 << 20);
}

void writeAll(Pipe& pipe, const std::string& bytes) {
  if (!platform::io::writeAll(pipe.writer.get(), bytes.data(), bytes.size())) {
    throw std::runtime_error("write to test pipe failed");
  }
}

Pipe pipeWith(const std::string& bytes) {
  Pipe pipe;
  writeAll(pipe, bytes);
  pipe.writer.reset();
  return pipe;
}

}  // namespace camd::testing
