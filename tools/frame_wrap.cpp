// Reads raw RGBA frames of one size from standard input (for example ffmpeg's
// `-f rawvideo -pix_fmt rgba -`) and writes them to standard output in the frame stream format
// that `quillane-camd run` reads (formats/frame_stream_format.h).
//
//   quillane-frame-wrap --size WxH
//
// A partial last frame is reported on standard error and dropped. Exit 0 at the end of the input
// or when the reader goes away, 1 after a read error, 2 for a bad argument.
#include <cstdio>
#include <string_view>
#include <vector>

#include "formats/frame_stream_format.h"
#include "platform/io/file_descriptor.h"
#include "platform/io/pipe.h"
#include "tools/arguments.h"
#include "tools/frame_output.h"

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
    const platform::io::ReadResult read =
        platform::io::readFully(platform::io::kStandardInput, frame.data(), frame.size());
    if (read.error != 0) {
      std::fprintf(stderr, "stdin read error %d\n", read.error);
      return 1;
    }
    if (read.bytesRead < frame.size()) {
      if (read.bytesRead > 0) {
        std::fprintf(stderr, "partial last frame dropped: %zu of %zu bytes\n", read.bytesRead,
                     frame.size());
      }
      return 0;
    }
    if (!quillane::tools::writeFrame(platform::io::kStandardOutput, size->width, size->height,
                                     frame.data())) {
      return 0;  // the reader went away
    }
  }
}
