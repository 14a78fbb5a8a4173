// Reads raw RGBA frames of one size from standard input (for example ffmpeg's
// `-f rawvideo -pix_fmt rgba -`) and writes them to standard output in the frame stream format
// that `quillane-camd run` reads (formats/frame_stream_format.h).
//
//   quillane-frame-wrap --size WxH
//
// A partial last frame is reported on standard error and dropped. Exit 0 at the end of the input
// or when the reader goes away, 1 after a read error, 2 for a bad argument.
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string_view>
#include <vector>

#include "formats/frame_stream_format.h"
#include "platform/io/pipe.h"
#include "tools/arguments.h"
#include "tools/frame_output.h"

namespace {

// Reads until `count` bytes are in or the input ends; the bytes read, or -1 after a read error.
ssize_t readUpTo(int fd, uint8_t* buffer, size_t count) {
  size_t total = 0;
  while (total < count) {
    const ssize_t got = ::read(fd, buffer + total, count - total);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return -1;
    if (got == 0) break;
    total += static_cast<size_t>(got);
  }
  return static_cast<ssize_t>(total);
}

}  // namespace

int main(int argc, char** argv) {
  const std::optional<quillane::tools::FrameSize> size =
      argc == 3 && std::string_view(argv[1]) == "--size" ? quillane::tools::parseSize(argv[2])
                                                         : std::nullopt;
  if (!size) {
    std::fprintf(stderr, "usage: quillane-frame-wrap --size WxH\n");
    return 2;
  }
  platform::io::ignoreBrokenPipeSignal();
  std::vector<uint8_t> frame(quillane::frame_stream::payloadLength(size->width, size->height));
  for (;;) {
    const ssize_t got = readUpTo(STDIN_FILENO, frame.data(), frame.size());
    if (got < 0) {
      std::fprintf(stderr, "stdin read error %d\n", errno);
      return 1;
    }
    if (static_cast<size_t>(got) < frame.size()) {
      if (got > 0) {
        std::fprintf(stderr, "partial last frame dropped: %zd of %zu bytes\n", got, frame.size());
      }
      return 0;
    }
    if (!quillane::tools::writeFrame(STDOUT_FILENO, size->width, size->height, frame.data())) {
      return 0;  // the reader went away
    }
  }
}
