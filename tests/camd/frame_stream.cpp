#include "tests/camd/frame_stream.h"

#include <fcntl.h>
#include <unistd.h>

#include <stdexcept>

namespace camd::testing {
namespace {

void appendLittleEndian(std::string& out, uint32_t value) {
  for (int shift = 0; shift < 32; shift += 8) out.push_back(static_cast<char>(value >> shift));
}

}  // namespace

std::string frameHeader(uint32_t width, uint32_t height, uint32_t length,
                        const std::string& magic) {
  std::string header = magic;
  appendLittleEndian(header, width);
  appendLittleEndian(header, height);
  appendLittleEndian(header, length);
  return header;
}

std::string frame(uint32_t width, uint32_t height, uint8_t fill) {
  const uint32_t length = width * 4 * height;
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
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t wrote = ::write(pipe.writer.get(), bytes.data() + done, bytes.size() - done);
    if (wrote <= 0) throw std::runtime_error("write to test pipe failed");
    done += static_cast<std::size_t>(wrote);
  }
}

Pipe pipeWith(const std::string& bytes) {
  Pipe pipe;
  writeAll(pipe, bytes);
  pipe.writer.reset();
  return pipe;
}

}  // namespace camd::testing
