#include "tools/view/picture_files.h"

#include <libyuv/convert.h>
#include <libyuv/convert_argb.h>
#include <libyuv/convert_from_argb.h>
#include <png.h>

#include <cerrno>
#include <cstring>

namespace quillane::view {
namespace {

using platform::media::BaseAddressLock;
using platform::media::PixelBuffer;

std::string systemError(const std::string& what) {
  return what + ": " + std::strerror(errno);
}

// A picture's rows as libpng takes them: BGRA as it is; BGRx without its fourth byte (which may
// hold anything); YUY2 converted to BGRA with BT.601 video range. libyuv's ARGB is B, G, R, A in
// memory and its RGB24 B, G, R.
struct PngRows {
  const uint8_t* data;
  std::size_t bytesPerRow;
  uint32_t format;
  std::vector<uint8_t> converted;
};

PngRows pngRows(const PixelBuffer& picture, const uint8_t* pixels) {
  const int width = picture.width();
  const int height = picture.height();
  const int stride = static_cast<int>(picture.bytesPerRow());
  PngRows rows{pixels, picture.bytesPerRow(), PNG_FORMAT_BGRA, {}};
  if (picture.pixelFormat() == platform::media::kPixelFormat32BGRX) {
    rows.bytesPerRow = std::size_t(width) * 3;
    rows.converted.resize(rows.bytesPerRow * height);
    libyuv::ARGBToRGB24(pixels, stride, rows.converted.data(), width * 3, width, height);
    rows.format = PNG_FORMAT_BGR;
  } else if (picture.pixelFormat() == platform::media::kPixelFormatYUY2) {
    rows.bytesPerRow = std::size_t(width) * 4;
    rows.converted.resize(rows.bytesPerRow * height);
    libyuv::YUY2ToARGB(pixels, stride, rows.converted.data(), width * 4, width, height);
  }
  if (!rows.converted.empty()) rows.data = rows.converted.data();
  return rows;
}

}  // namespace

std::optional<std::string> writePng(PixelBuffer& picture, const std::string& path) {
  BaseAddressLock pixels(picture, PixelBuffer::LockFlags::ReadOnly);
  if (!pixels.data()) return "cannot read a frame's pixels";
  const PngRows rows = pngRows(picture, pixels.data());
  png_image image{};
  image.version = PNG_IMAGE_VERSION;
  image.width = static_cast<png_uint_32>(picture.width());
  image.height = static_cast<png_uint_32>(picture.height());
  image.format = rows.format;
  image.flags = PNG_IMAGE_FLAG_FAST;
  if (png_image_write_to_file(&image, path.c_str(), 0, rows.data,
                              static_cast<png_int_32>(rows.bytesPerRow), nullptr) == 0) {
    std::string failure = "cannot write " + path + ": " + image.message;
    png_image_free(&image);
    return failure;
  }
  return std::nullopt;
}

std::unique_ptr<Y4mStream> Y4mStream::open(const std::string& path) {
  FILE* file = path == "-" ? stdout : std::fopen(path.c_str(), "wb");
  return file ? std::unique_ptr<Y4mStream>(new Y4mStream(file)) : nullptr;
}

Y4mStream::~Y4mStream() {
  if (file_ != stdout) std::fclose(file_);
}

std::optional<std::string> Y4mStream::append(PixelBuffer& picture) {
  const int width = picture.width();
  const int height = picture.height();
  const int chromaWidth = (width + 1) / 2;
  const int chromaHeight = (height + 1) / 2;
  const std::size_t lumaBytes = std::size_t(width) * height;
  const std::size_t chromaBytes = std::size_t(chromaWidth) * chromaHeight;
  if (width_ == 0) {
    width_ = width;
    height_ = height;
    planes_.resize(lumaBytes + 2 * chromaBytes);
    // Chroma sited between the luma samples, as libyuv's 2 × 2 averages place it.
    if (std::fprintf(file_, "YUV4MPEG2 W%d H%d F30:1 Ip A1:1 C420jpeg XCOLORRANGE=LIMITED\n", width,
                     height) < 0) {
      return systemError("cannot write the Y4M stream");
    }
  }
  if (width != width_ || height != height_) return std::nullopt;
  {
    BaseAddressLock pixels(picture, PixelBuffer::LockFlags::ReadOnly);
    if (!pixels.data()) return "cannot read a frame's pixels";
    uint8_t* y = planes_.data();
    uint8_t* u = y + lumaBytes;
    uint8_t* v = u + chromaBytes;
    const int stride = static_cast<int>(picture.bytesPerRow());
    // libyuv's ARGB is B, G, R, A in memory: the camera's BGRA (and BGRx, whose fourth byte
    // it does not read).
    if (picture.pixelFormat() == platform::media::kPixelFormatYUY2) {
      libyuv::YUY2ToI420(pixels.data(), stride, y, width, u, chromaWidth, v, chromaWidth, width,
                         height);
    } else {
      libyuv::ARGBToI420(pixels.data(), stride, y, width, u, chromaWidth, v, chromaWidth, width,
                         height);
    }
  }
  if (std::fputs("FRAME\n", file_) < 0 ||
      std::fwrite(planes_.data(), 1, planes_.size(), file_) != planes_.size() ||
      std::fflush(file_) != 0) {
    return systemError("cannot write the Y4M stream");
  }
  return std::nullopt;
}

}  // namespace quillane::view
