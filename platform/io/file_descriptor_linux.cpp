#include "platform/io/file_descriptor.h"

#include <unistd.h>

#include <cerrno>

namespace platform::io {

ReadResult readFully(int fd, void* buffer, std::size_t count) {
  auto* bytes = static_cast<unsigned char*>(buffer);
  ReadResult result;
  while (result.bytesRead < count) {
    const ssize_t got = ::read(fd, bytes + result.bytesRead, count - result.bytesRead);
    if (got > 0) {
      result.bytesRead += static_cast<std::size_t>(got);
    } else if (got == 0) {
      break;
    } else if (errno != EINTR) {
      result.error = errno;
      break;
    }
  }
  return result;
}

bool writeAll(int fd, const void* data, std::size_t count) {
  const auto* bytes = static_cast<const unsigned char*>(data);
  while (count > 0) {
    const ssize_t written = ::write(fd, bytes, count);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return false;
    bytes += written;
    count -= static_cast<std::size_t>(written);
  }
  return true;
}

}  // namespace platform::io
