#include "tools/frame_stamp.h"

#include <gtest/gtest.h>

#include <vector>

#include "platform/imaging/pixel_ops.h"

namespace quillane::tools::frame_stamp {
namespace {

// A picture of 4-byte pixels with coloured stripes, the kind of thing a stamp sits on.
struct Image {
  Image(int w, int h) : width(w), height(h), pixels(size_t(w) * h * 4) {
    for (size_t i = 0; i < pixels.size(); ++i) pixels[i] = static_cast<uint8_t>(i * 7 / 13);
  }
  Picture picture() { return {pixels.data(), width, height, size_t(width) * 4}; }
  ConstPicture view() const { return {pixels.data(), width, height, size_t(width) * 4}; }
  int width;
  int height;
  std::vector<uint8_t> pixels;
};

// The camera's fit: scaled into the largest centred rectangle of the same shape, bars all zero.
Image fitted(const Image& source, int width, int height) {
  Image target(width, height);
  std::fill(target.pixels.begin(), target.pixels.end(), 0);
  const int fitWidth = std::min(width, source.width * height / source.height);
  const int fitHeight = std::min(height, source.height * width / source.width);
  const size_t rowBytes = size_t(width) * 4;
  uint8_t* origin = target.pixels.data() + size_t((height - fitHeight) / 2) * rowBytes +
                    size_t((width - fitWidth) / 2) * 4;
  EXPECT_EQ(platform::imaging::scale(
                {source.pixels.data(), source.height, source.width, size_t(source.width) * 4},
                {origin, fitHeight, fitWidth, rowBytes}),
            platform::imaging::kImagingNoError);
  return target;
}

// The camera's conversion for watchers in YUY2.
std::vector<uint8_t> yuy2Of(const Image& image) {
  std::vector<uint8_t> yuy2(size_t(image.width) * 2 * image.height);
  EXPECT_EQ(platform::imaging::convertToYuy2(
                {image.pixels.data(), image.height, image.width, size_t(image.width) * 4},
                {yuy2.data(), image.height, image.width, size_t(image.width) * 2}),
            platform::imaging::kImagingNoError);
  return yuy2;
}

TEST(FrameStamp, ReadsBackAfterTheCameraFitsThePictureToEveryOfferedSizeInEveryFormat) {
  const uint64_t micros = (uint64_t{1} << kBits) + 0x5A5A'1234'77;  // beyond the bits it keeps
  const uint64_t kept = micros & ((uint64_t{1} << kBits) - 1);
  for (auto [width, height] : {std::pair{1280, 720}, {640, 480}, {1920, 1080}}) {
    Image source(width, height);
    draw(source.picture(), micros);
    for (auto [toWidth, toHeight] : {std::pair{1920, 1080}, {1280, 720}, {640, 480}}) {
      SCOPED_TRACE(std::to_string(width) + "x" + std::to_string(height) + " to " +
                   std::to_string(toWidth) + "x" + std::to_string(toHeight));
      const Image picture = fitted(source, toWidth, toHeight);
      EXPECT_EQ(read(picture.view()), kept);
      const std::vector<uint8_t> yuy2 = yuy2Of(picture);
      EXPECT_EQ(read({yuy2.data(), toWidth, toHeight, size_t(toWidth) * 2, Layout::kYuy2}), kept);
    }
  }
}

TEST(FrameStamp, PicturesWithoutAStampReadAsNone) {
  Image striped(640, 480);
  EXPECT_EQ(read(striped.view()), std::nullopt);
  const std::vector<uint8_t> yuy2 = yuy2Of(striped);
  EXPECT_EQ(read({yuy2.data(), 640, 480, 640 * 2, Layout::kYuy2}), std::nullopt);
  Image white(640, 480);
  std::fill(white.pixels.begin(), white.pixels.end(), 255);
  EXPECT_EQ(read(white.view()), std::nullopt);
}

TEST(FrameStamp, AgeCountsAcrossTheWrap) {
  const uint64_t last = (uint64_t{1} << kBits) - 5;
  EXPECT_EQ(ageMicros(last, (uint64_t{3} << kBits) + 20), 25u);
  EXPECT_EQ(ageMicros(100, 130), 30u);
}

}  // namespace
}  // namespace quillane::tools::frame_stamp
