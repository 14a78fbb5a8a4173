#pragma once

#include <cstdint>
#include <memory>

#include "platform/media/pixel_buffer.h"

namespace platform::media {

// An immutable video format description (CMVideoFormatDescription): codec (pixel format) and
// dimensions. Shared by reference; safe to read from any thread.
class FormatDescription {
 public:
  // nullptr when the dimensions are below 1 or the platform refuses.
  static std::shared_ptr<const FormatDescription> createVideo(FourCC codecType, int32_t width,
                                                              int32_t height);
  // Describes the buffer's pixel format and size; nullptr when the platform refuses.
  static std::shared_ptr<const FormatDescription> createForImageBuffer(const PixelBuffer& buffer);

  FourCC mediaSubType() const { return codecType_; }
  int32_t width() const { return width_; }
  int32_t height() const { return height_; }
  // True when the buffer has this description's pixel format and size.
  bool matchesImageBuffer(const PixelBuffer& buffer) const;

  FormatDescription(FourCC codecType, int32_t width, int32_t height)
      : codecType_(codecType), width_(width), height_(height) {}

 private:
  FourCC codecType_;
  int32_t width_;
  int32_t height_;
};

using FormatDescriptionRef = std::shared_ptr<const FormatDescription>;

}  // namespace platform::media
