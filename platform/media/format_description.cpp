#include "platform/media/format_description.h"

#include "platform/faults/fault_injection.h"

namespace platform::media {

FormatDescriptionRef FormatDescription::createVideo(FourCC codecType, int32_t width,
                                                    int32_t height) {
  if (width < 1 || height < 1) return nullptr;
  if (faults::shouldFail(faults::Fault::CreateFormatDescription)) return nullptr;
  return std::make_shared<const FormatDescription>(codecType, width, height);
}

FormatDescriptionRef FormatDescription::createForImageBuffer(const PixelBuffer& buffer) {
  if (faults::shouldFail(faults::Fault::CreateFormatDescription)) return nullptr;
  return std::make_shared<const FormatDescription>(buffer.pixelFormat(), buffer.width(),
                                                   buffer.height());
}

bool FormatDescription::matchesImageBuffer(const PixelBuffer& buffer) const {
  return codecType_ == buffer.pixelFormat() && width_ == buffer.width() &&
         height_ == buffer.height();
}

}  // namespace platform::media
