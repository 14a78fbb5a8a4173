#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "platform/faults/fault_injection.h"
#include "platform/imaging/pixel_ops.h"
#include "tests/platform/imaging/test_image.h"

namespace platform::imaging {
namespace {

struct Sizes {
  int sourceWidth, sourceHeight, destinationWidth, destinationHeight;
};

std::string describe(const Sizes& s) {
  return std::to_string(s.sourceWidth) + "x" + std::to_string(s.sourceHeight) + " -> " +
         std::to_string(s.destinationWidth) + "x" + std::to_string(s.destinationHeight);
}

TestImage checkerboard(int width, int height) {
  TestImage image(width, height);
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      uint8_t level = ((x + y) & 1) ? 255 : 0;
      std::fill(image.pixel(x, y), image.pixel(x, y) + 4, level);
    }
  }
  return image;
}

// Pictures shrunk to fit 1920×1080, 1280×720 and 640×480: every pixel of a one-pixel
// checkerboard must average out, whatever the ratio (exact 3:1 included).
TEST(Scale, ShrunkCheckerboardIsEvenGreyEverywhere) {
  const Sizes fits[] = {{1920, 1080, 1280, 720},  {1920, 1080, 640, 360}, {2560, 1440, 1920, 1080},
                        {3840, 2160, 1920, 1080}, {1280, 720, 640, 360},  {1000, 1, 640, 2},
                        {1280, 1024, 600, 480},   {1000, 1000, 480, 480}, {1920, 1200, 1728, 1080},
                        {641, 481, 640, 480}};
  for (const Sizes& s : fits) {
    TestImage source = checkerboard(s.sourceWidth, s.sourceHeight);
    TestImage destination(s.destinationWidth, s.destinationHeight);
    ASSERT_EQ(scale(source.constView(), destination.view()), kImagingNoError) << describe(s);
    int worst = 0;
    for (uint8_t level : destination.bytes) worst = std::max(worst, std::abs(2 * level - 255));
    EXPECT_LE(worst, 7) << describe(s) << ": a level " << worst / 2 << " away from mid-grey";
  }
}

// Growing cannot blur a checkerboard to grey, but it must keep its overall brightness.
TEST(Scale, EnlargedCheckerboardKeepsAverageLevel) {
  for (const Sizes& s : {Sizes{1280, 720, 1920, 1080}, Sizes{1280, 1024, 1350, 1080}}) {
    TestImage source = checkerboard(s.sourceWidth, s.sourceHeight);
    TestImage destination(s.destinationWidth, s.destinationHeight);
    ASSERT_EQ(scale(source.constView(), destination.view()), kImagingNoError) << describe(s);
    double sum = 0;
    for (uint8_t level : destination.bytes) sum += level;
    EXPECT_NEAR(sum / destination.bytes.size(), 127.5, 2.0) << describe(s);
  }
}

TEST(Scale, SolidColourStaysExactIncludingEdges) {
  const uint8_t colour[4] = {12, 200, 77, 255};
  const Sizes sizes[] = {{1920, 1080, 1280, 720},
                         {1920, 1080, 640, 360},
                         {1280, 1024, 1350, 1080},
                         {1000, 1, 640, 2},
                         {640, 480, 1920, 1080},
                         {7, 5, 3, 2},
                         {2, 2, 1, 1},
                         {3, 1, 640, 480}};
  for (const Sizes& s : sizes) {
    TestImage source(s.sourceWidth, s.sourceHeight, /*padding=*/12);
    for (int y = 0; y < s.sourceHeight; ++y) {
      for (int x = 0; x < s.sourceWidth; ++x) std::copy(colour, colour + 4, source.pixel(x, y));
    }
    TestImage destination(s.destinationWidth, s.destinationHeight);
    ASSERT_EQ(scale(source.constView(), destination.view()), kImagingNoError) << describe(s);
    for (std::size_t i = 0; i < destination.bytes.size(); ++i) {
      ASSERT_EQ(destination.bytes[i], colour[i % 4]) << describe(s) << " byte " << i;
    }
  }
}

// Four quadrants of different colours: after shrinking or growing, each quadrant's centre keeps
// its colour (no channel mixing, no flip or shift), and only the target rectangle inside a larger
// buffer is written, as when a picture is fitted between black bars.
TEST(Scale, KeepsGeometryAndChannelsAndStaysInsideTheTargetRectangle) {
  const uint8_t quadrant[4][4] = {
      {255, 0, 0, 255}, {0, 255, 0, 255}, {0, 0, 255, 255}, {255, 255, 255, 0}};
  for (const Sizes& s : {Sizes{96, 60, 32, 20}, Sizes{96, 60, 64, 40}, Sizes{32, 20, 96, 60},
                         Sizes{32, 20, 90, 60}}) {
    TestImage source(s.sourceWidth, s.sourceHeight);
    for (int y = 0; y < s.sourceHeight; ++y) {
      for (int x = 0; x < s.sourceWidth; ++x) {
        int q = (y >= s.sourceHeight / 2) * 2 + (x >= s.sourceWidth / 2);
        std::copy(quadrant[q], quadrant[q] + 4, source.pixel(x, y));
      }
    }
    const int left = 5, top = 3;
    TestImage canvas(s.destinationWidth + 2 * left, s.destinationHeight + 2 * top, 8, 0xAB);
    ImageView target{canvas.pixel(left, top), s.destinationHeight, s.destinationWidth,
                     canvas.bytesPerRow};
    ASSERT_EQ(scale(source.constView(), target), kImagingNoError) << describe(s);

    for (int q = 0; q < 4; ++q) {
      int x = left + s.destinationWidth / 4 + (q % 2) * s.destinationWidth / 2;
      int y = top + s.destinationHeight / 4 + (q / 2) * s.destinationHeight / 2;
      for (int c = 0; c < 4; ++c) {
        EXPECT_EQ(canvas.pixel(x, y)[c], quadrant[q][c]) << describe(s) << " quadrant " << q;
      }
    }
    for (int y = 0; y < canvas.height; ++y) {
      for (std::size_t b = 0; b < canvas.bytesPerRow; ++b) {
        bool inside = y >= top && y < top + s.destinationHeight && b >= left * 4u &&
                      b < (left + s.destinationWidth) * 4u;
        if (!inside) {
          ASSERT_EQ(canvas.bytes[y * canvas.bytesPerRow + b], 0xAB)
              << describe(s) << " row " << y << " byte " << b;
        }
      }
    }
  }
}

TEST(Scale, RejectsUnusableArgumentsAndInjectedFaultWithoutWriting) {
  TestImage source(8, 8, 0, 200);
  TestImage destination(4, 4, 0, 0x77);
  const auto untouched = destination.bytes;
  ConstImageView noSource = source.constView();
  noSource.data = nullptr;
  EXPECT_EQ(scale(noSource, destination.view()), kImagingNullPointerArgument);
  ImageView noDestination = destination.view();
  noDestination.data = nullptr;
  EXPECT_EQ(scale(source.constView(), noDestination), kImagingNullPointerArgument);
  ImageView flat = destination.view();
  flat.height = 0;
  EXPECT_EQ(scale(source.constView(), flat), kImagingInvalidParameter);
  ConstImageView narrowRows = source.constView();
  narrowRows.bytesPerRow = 31;
  EXPECT_EQ(scale(narrowRows, destination.view()), kImagingInvalidParameter);

  faults::failNext(faults::Fault::Scale);
  EXPECT_NE(scale(source.constView(), destination.view()), kImagingNoError);
  EXPECT_EQ(destination.bytes, untouched);
  EXPECT_EQ(scale(source.constView(), destination.view()), kImagingNoError);
  faults::reset();
}

}  // namespace
}  // namespace platform::imaging
