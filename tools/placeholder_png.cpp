// Writes the camera's placeholder picture of every offered format as PNG files into the folder
// given as the only argument, for looking at it outside a camera application.
#include <cairo.h>

#include <cstdio>
#include <string>

#include "extension/frame_factory.h"
#include "extension/video_format.h"

namespace {

using platform::media::BaseAddressLock;
using platform::media::PixelBuffer;

bool writePng(PixelBuffer& picture, const std::string& path) {
  BaseAddressLock pixels(picture, PixelBuffer::LockFlags::ReadOnly);
  if (!pixels.data()) return false;
  // The buffer's BGRA premultiplied bytes are cairo's ARGB32 on little-endian machines.
  cairo_surface_t* surface = cairo_image_surface_create_for_data(
      pixels.data(), CAIRO_FORMAT_ARGB32, picture.width(), picture.height(),
      static_cast<int>(picture.bytesPerRow()));
  bool written = cairo_surface_write_to_png(surface, path.c_str()) == CAIRO_STATUS_SUCCESS;
  cairo_surface_destroy(surface);
  return written;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: quillane-placeholder-png FOLDER\n");
    return 2;
  }
  quillane::FrameFactory factory;
  const auto& formats = quillane::VideoFormat::all();
  for (size_t index = 0; index < formats.size(); ++index) {
    std::string path = std::string(argv[1]) + "/placeholder-" +
                       std::to_string(formats[index].width) + "x" +
                       std::to_string(formats[index].height) + ".png";
    auto picture = factory.placeholder(static_cast<int64_t>(index));
    if (!picture || !writePng(*picture, path)) {
      std::fprintf(stderr, "could not write %s\n", path.c_str());
      return 1;
    }
    std::printf("%s\n", path.c_str());
  }
  return 0;
}
