#include "camd/frame_converter.h"

#include <array>

#include "camd/reporting.h"
#include "platform/imaging/pixel_ops.h"
#include "platform/media/media_time.h"

namespace camd {

namespace media = platform::media;
namespace imaging = platform::imaging;

// RGBA to BGRA: blue from source byte 2, green from 1, red from 0, alpha from 3.
constexpr std::array<uint8_t, 4> kRGBAToBGRA = {2, 1, 0, 3};

media::SampleBufferRef FrameConverter::makeSample(const uint8_t* rgba,
                                                  media::PixelBufferRef buffer) {
  const int width = buffer->width();
  const int height = buffer->height();
  imaging::ImagingError error;
  {
    media::BaseAddressLock lock(*buffer, media::PixelBuffer::LockFlags::ReadWrite);
    const imaging::ConstImageView source{rgba, height, width, std::size_t(width) * 4};
    const imaging::ImageView destination{lock.data(), height, width, buffer->bytesPerRow()};
    error = imaging::permuteChannels(source, destination, kRGBAToBGRA);
  }
  if (error != imaging::kImagingNoError) {
    logError("vImagePermuteChannels failed: " + std::to_string(error));
    return nullptr;
  }

  media::FormatDescriptionRef description = formatDescriptionFor(*buffer);
  if (!description) return nullptr;
  const media::SampleTimingInfo timing{
      .duration = media::MediaTime::make(1, 30),
      .presentationTimeStamp = media::MediaTime::fromNanos(clock_->nowNanos()),
      .decodeTimeStamp = media::MediaTime::invalid()};
  return media::SampleBuffer::createForImageBuffer(std::move(buffer), true, std::move(description),
                                                   timing);
}

void FrameConverter::forgetFormatDescription() {
  platform::base::MutexLock lock(formatDescMutex_);
  formatDesc_.reset();
}

media::FormatDescriptionRef FrameConverter::formatDescriptionFor(const media::PixelBuffer& buffer) {
  platform::base::MutexLock lock(formatDescMutex_);
  if (!formatDesc_ || !formatDesc_->matchesImageBuffer(buffer)) {
    formatDesc_ = media::FormatDescription::createForImageBuffer(buffer);
  }
  return formatDesc_;
}

}  // namespace camd
