#include "extension/frame_factory.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "extension/video_format.h"
#include "platform/imaging/drawing_context.h"
#include "platform/imaging/pixel_ops.h"
#include "platform/media/format_description.h"

namespace quillane {
namespace {

using platform::imaging::Color;
using platform::imaging::ConstImageView;
using platform::imaging::DrawingContext;
using platform::imaging::ImageView;
using platform::media::BaseAddressLock;
using platform::media::FormatDescription;
using platform::media::FormatDescriptionRef;
using platform::media::MediaTime;
using platform::media::PixelBuffer;
using platform::media::PixelBufferAttributes;
using platform::media::PixelBufferPool;
using platform::media::PixelBufferRef;
using platform::media::SampleBuffer;
using platform::media::SampleBufferRef;
using platform::media::SampleTimingInfo;

constexpr std::size_t kBytesPerPixel = 4;

constexpr Color kGradientTopLeft{0.16, 0.10, 0.28, 1.0};
constexpr Color kGradientBottomRight{0.04, 0.04, 0.08, 1.0};
constexpr Color kTextColor{0.92, 0.92, 0.92, 1.0};
const std::string kPlaceholderText = "Quillane \u2014 press Start in the app";
const std::string kPlaceholderFont = "Helvetica-Bold";
constexpr double kFontSizeDivisor = 22.0;

// Where a picture scaled to fit sits inside the target: its size and its top-left corner.
struct FitRect {
  int x;
  int y;
  int width;
  int height;
};

// A fitted side is truncated and made even, but never below 2 pixels.
int fittedSide(double exact) {
  int side = static_cast<int>(exact);
  return side <= 2 ? 2 : side & ~1;
}

FitRect fitInside(int sourceWidth, int sourceHeight, int targetWidth, int targetHeight) {
  double s = std::min(static_cast<double>(targetHeight) / sourceHeight,
                      static_cast<double>(targetWidth) / sourceWidth);
  int width = fittedSide(s * sourceWidth);
  int height = fittedSide(s * sourceHeight);
  return FitRect{(targetWidth - width) / 2, (targetHeight - height) / 2, width, height};
}

// Zeroes everything of the target outside the fitted picture (row padding included), so the
// bars are black with alpha 0 without clearing the pixels the scaler writes anyway.
void clearBars(uint8_t* base, std::size_t bytesPerRow, int targetHeight, const FitRect& fit) {
  int below = fit.y + fit.height;
  std::memset(base, 0, static_cast<std::size_t>(fit.y) * bytesPerRow);
  std::memset(base + below * bytesPerRow, 0,
              static_cast<std::size_t>(targetHeight - below) * bytesPerRow);
  std::size_t left = static_cast<std::size_t>(fit.x) * kBytesPerPixel;
  std::size_t rightStart = static_cast<std::size_t>(fit.x + fit.width) * kBytesPerPixel;
  std::size_t right = bytesPerRow - rightStart;
  for (int y = fit.y; y < below; ++y) {
    uint8_t* row = base + y * bytesPerRow;
    std::memset(row, 0, left);
    std::memset(row + rightStart, 0, right);
  }
}

}  // namespace

FrameFactory::FrameFactory()
    : pools_(VideoFormat::all().size()), placeholders_(VideoFormat::all().size()) {}

PixelBufferRef FrameFactory::makeBuffer(int64_t formatIndex) {
  const VideoFormat& format = VideoFormat::at(formatIndex);
  platform::base::MutexLock guard(lock_);
  auto& pool = pools_[static_cast<std::size_t>(formatIndex)];
  if (!pool) {
    // A refused pool is not stored, so the next call tries again.
    pool = PixelBufferPool::create(PixelBufferAttributes{VideoFormat::pixelFormat, format.width,
                                                         format.height, /*shareable=*/true});
  }
  return pool ? pool->createPixelBuffer() : nullptr;
}

PixelBufferRef FrameFactory::placeholder(int64_t formatIndex) {
  VideoFormat::at(formatIndex);
  auto slot = static_cast<std::size_t>(formatIndex);
  {
    platform::base::MutexLock guard(lock_);
    if (placeholders_[slot]) return placeholders_[slot];
  }
  // Two first calls may both draw; the later store wins and each caller keeps its own picture.
  PixelBufferRef drawn = drawPlaceholder(formatIndex);
  if (!drawn) return nullptr;
  platform::base::MutexLock guard(lock_);
  placeholders_[slot] = drawn;
  return drawn;
}

PixelBufferRef FrameFactory::drawPlaceholder(int64_t formatIndex) {
  PixelBufferRef buffer = makeBuffer(formatIndex);
  if (!buffer) return nullptr;
  BaseAddressLock pixels(*buffer, PixelBuffer::LockFlags::ReadWrite);
  if (!pixels.data()) return nullptr;
  auto context = DrawingContext::create(
      ImageView{pixels.data(), buffer->height(), buffer->width(), buffer->bytesPerRow()});
  if (!context) return nullptr;

  const double width = buffer->width();
  const double height = buffer->height();
  // A refused gradient leaves the buffer as it was; the text is drawn over it all the same.
  context->fillLinearGradient({0, height}, {width, 0}, kGradientTopLeft, kGradientBottomRight);
  const double fontSize = height / kFontSizeDivisor;
  auto bounds = context->measureText(kPlaceholderText, kPlaceholderFont, fontSize);
  context->drawText(kPlaceholderText, kPlaceholderFont, fontSize, kTextColor,
                    {(width - bounds.width) * 0.5, (height - bounds.height) * 0.5});
  context->flush();
  return buffer;
}

PixelBufferRef FrameFactory::conform(const PixelBufferRef& source, int64_t formatIndex) {
  const VideoFormat& format = VideoFormat::at(formatIndex);
  if (!source || source->pixelFormat() != VideoFormat::pixelFormat) return nullptr;
  if (source->width() == format.width && source->height() == format.height) return source;

  PixelBufferRef target = makeBuffer(formatIndex);
  if (!target) return nullptr;
  BaseAddressLock sourcePixels(*source, PixelBuffer::LockFlags::ReadOnly);
  BaseAddressLock targetPixels(*target, PixelBuffer::LockFlags::ReadWrite);
  if (!sourcePixels.data() || !targetPixels.data()) return nullptr;

  const std::size_t targetStride = target->bytesPerRow();
  FitRect fit = fitInside(source->width(), source->height(), target->width(), target->height());
  clearBars(targetPixels.data(), targetStride, target->height(), fit);
  ConstImageView from{sourcePixels.data(), source->height(), source->width(),
                      source->bytesPerRow()};
  ImageView into{targetPixels.data() + fit.y * targetStride + fit.x * kBytesPerPixel, fit.height,
                 fit.width, targetStride};
  if (platform::imaging::scale(from, into) != platform::imaging::kImagingNoError) return nullptr;
  return target;
}

SampleBufferRef FrameFactory::sampleBuffer(PixelBufferRef buffer, int64_t formatIndex,
                                           MediaTime pts) {
  const VideoFormat& format = VideoFormat::at(formatIndex);
  if (!buffer) return nullptr;
  FormatDescriptionRef description =
      buffer->width() == format.width && buffer->height() == format.height
          ? format.formatDescription
          : FormatDescription::createForImageBuffer(*buffer);
  if (!description) return nullptr;
  SampleTimingInfo timing{VideoFormat::frameDuration, pts, MediaTime::invalid()};
  return SampleBuffer::createForImageBuffer(std::move(buffer), /*dataReady=*/true,
                                            std::move(description), timing);
}

}  // namespace quillane
