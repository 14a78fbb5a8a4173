#include "extension/frame_factory.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

#include "extension/video_format.h"
#include "platform/faults/fault_injection.h"
#include "tests/extension/pixels.h"

namespace quillane {
namespace {

using platform::faults::failNext;
using platform::faults::Fault;
using platform::media::kPixelFormat32BGRA;
using platform::media::kPixelFormat32RGBA;
using platform::media::MediaTime;
using platform::media::PixelBuffer;
using test::Bgra;

class FrameFactoryTest : public ::testing::Test {
 protected:
  // The format table is built before any fault is armed.
  void SetUp() override { VideoFormat::all(); }
  void TearDown() override { platform::faults::reset(); }

  FrameFactory factory;
};

// ---- Placeholder picture ----------------------------------------------------------------------

bool isTextPixel(const Bgra& p) {
  return p[0] > 200 && p[1] > 200 && p[2] > 200;
}

struct TextScan {
  int rows = 0;        // rows holding text pixels
  int left = 1 << 30;  // leftmost text column
  int right = -1;      // rightmost text column
  int longestRun = 0;  // longest horizontal run of text pixels
};

TextScan scanText(PixelBuffer& buffer, int y0, int y1) {
  TextScan scan;
  for (int y = y0; y < y1; ++y) {
    int run = 0;
    bool any = false;
    for (int x = 0; x < buffer.width(); ++x) {
      if (isTextPixel(test::pixelAt(buffer, x, y))) {
        any = true;
        scan.left = std::min(scan.left, x);
        scan.right = std::max(scan.right, x);
        scan.longestRun = std::max(scan.longestRun, ++run);
      } else {
        run = 0;
      }
    }
    scan.rows += any;
  }
  return scan;
}

void expectNear(const Bgra& actual, const Bgra& expected) {
  for (int i = 0; i < 4; ++i) EXPECT_NEAR(actual[i], expected[i], 3) << "channel " << i;
}

class PlaceholderTest : public FrameFactoryTest, public ::testing::WithParamInterface<int> {};

TEST_P(PlaceholderTest, DrawsGradientAndCentredMessageOnce) {
  const int index = GetParam();
  const VideoFormat& format = VideoFormat::at(index);
  auto picture = factory.placeholder(index);
  ASSERT_TRUE(picture);
  EXPECT_EQ(factory.placeholder(index), picture);  // cached, shared by reference
  ASSERT_EQ(picture->width(), format.width);
  ASSERT_EQ(picture->height(), format.height);
  EXPECT_EQ(picture->pixelFormat(), kPixelFormat32BGRA);

  const int w = picture->width();
  const int h = picture->height();
  // Deep violet top-left (0.16, 0.10, 0.28), near-black blue bottom-right (0.04, 0.04, 0.08).
  expectNear(test::pixelAt(*picture, 0, 0), {71, 26, 41, 255});
  expectNear(test::pixelAt(*picture, w - 1, h - 1), {20, 10, 10, 255});

  const double fontSize = h / 22.0;
  const int band = static_cast<int>(fontSize * 1.5);
  TextScan text = scanText(*picture, h / 2 - band, h / 2 + band);
  EXPECT_GT(text.rows, fontSize * 0.5);
  // Centred: the ink's side margins differ by less than half an em (side bearings).
  EXPECT_LT(std::abs(text.left - (w - 1 - text.right)), fontSize * 0.5);
  // Only the em dash makes a run of light pixels about one em long; a missing glyph box or a
  // hyphen is far shorter.
  EXPECT_GT(text.longestRun, fontSize * 0.8);
  EXPECT_LT(text.longestRun, fontSize * 1.2);
  // Nothing light outside the band.
  EXPECT_EQ(scanText(*picture, 0, h / 2 - band).rows, 0);
  EXPECT_EQ(scanText(*picture, h / 2 + band, h).rows, 0);
}

INSTANTIATE_TEST_SUITE_P(EveryFormat, PlaceholderTest, ::testing::Values(0, 1, 2));

TEST_F(FrameFactoryTest, RefusedPlaceholderStepsCacheNothingAndAreRetried) {
  for (Fault fault : {Fault::CreatePixelBuffer, Fault::CreateDrawingContext}) {
    FrameFactory fresh;
    failNext(fault);
    EXPECT_FALSE(fresh.placeholder(2));
    auto drawn = fresh.placeholder(2);
    ASSERT_TRUE(drawn);
    EXPECT_EQ(fresh.placeholder(2), drawn);
  }
}

TEST_F(FrameFactoryTest, RefusedGradientStillDrawsTheMessage) {
  failNext(Fault::CreateGradient);
  auto picture = factory.placeholder(2);
  ASSERT_TRUE(picture);
  // A fresh buffer is zeroed, so without a background the corners stay zero.
  EXPECT_EQ(test::pixelAt(*picture, 0, 0), (Bgra{0, 0, 0, 0}));
  EXPECT_EQ(test::pixelAt(*picture, 639, 479), (Bgra{0, 0, 0, 0}));
  EXPECT_GT(scanText(*picture, 200, 280).rows, 5);
}

TEST_F(FrameFactoryTest, RefusedPoolIsCreatedOnTheNextCall) {
  failNext(Fault::CreatePixelBufferPool);
  EXPECT_FALSE(factory.makeBuffer(1));
  auto buffer = factory.makeBuffer(1);
  ASSERT_TRUE(buffer);
  EXPECT_EQ(buffer->width(), 1280);
  EXPECT_EQ(buffer->height(), 720);
}

// ---- Fitting incoming frames ------------------------------------------------------------------

constexpr Bgra kPicture{10, 120, 230, 255};

struct FitCase {
  int sourceWidth, sourceHeight, formatIndex;
  int x, y, width, height;  // expected picture rectangle in the target
};

std::string fitCaseName(const ::testing::TestParamInfo<FitCase>& param) {
  const FitCase& c = param.param;
  return std::to_string(c.sourceWidth) + "x" + std::to_string(c.sourceHeight) + "to" +
         std::to_string(c.formatIndex);
}

class FitTest : public FrameFactoryTest, public ::testing::WithParamInterface<FitCase> {};

TEST_P(FitTest, ScalesIntoCentreBetweenZeroBars) {
  const FitCase& c = GetParam();
  // Leave a dirty buffer in the pool: the bars must be cleared, whatever the buffer held.
  {
    auto dirty = factory.makeBuffer(c.formatIndex);
    platform::media::BaseAddressLock pixels(*dirty, PixelBuffer::LockFlags::ReadWrite);
    std::memset(pixels.data(), 0xAB, dirty->dataSize());
  }
  auto fitted =
      factory.conform(test::solidBuffer(c.sourceWidth, c.sourceHeight, kPicture), c.formatIndex);
  ASSERT_TRUE(fitted);
  const int w = fitted->width();
  const int h = fitted->height();
  ASSERT_EQ(w, VideoFormat::at(c.formatIndex).width);
  ASSERT_EQ(h, VideoFormat::at(c.formatIndex).height);
  for (int y = 0; y < h; ++y) {
    bool inPicture = y >= c.y && y < c.y + c.height;
    if (!inPicture) {
      ASSERT_TRUE(test::spanIsZero(*fitted, y, 0, w)) << "bar row " << y;
      continue;
    }
    ASSERT_TRUE(test::spanIsZero(*fitted, y, 0, c.x)) << "left bar, row " << y;
    ASSERT_TRUE(test::spanNear(*fitted, y, c.x, c.x + c.width, kPicture, 3)) << "picture row " << y;
    ASSERT_TRUE(test::spanIsZero(*fitted, y, c.x + c.width, w)) << "right bar, row " << y;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Geometry, FitTest,
    ::testing::Values(FitCase{1920, 1080, 2, 0, 60, 640, 360},      // a third: bars above/below
                      FitCase{1280, 1024, 0, 285, 0, 1350, 1080},   // s = 1.0546875
                      FitCase{1000, 1000, 0, 420, 0, 1080, 1080},   // square into wide
                      FitCase{1280, 720, 0, 0, 0, 1920, 1080},      // same aspect, no bars
                      FitCase{1000, 1, 2, 0, 239, 640, 2},          // a side never below 2
                      FitCase{1921, 1081, 0, 1, 0, 1918, 1080},     // an odd side made even
                      FitCase{1921, 1081, 1, 1, 0, 1278, 720},
                      FitCase{1, 1, 0, 420, 0, 1080, 1080},         // smallest frame
                      FitCase{8192, 8192, 0, 420, 0, 1080, 1080}),  // huge frame
    fitCaseName);

TEST_F(FrameFactoryTest, FrameOfTheFormatSizePassesThroughUnchanged) {
  auto frame = test::solidBuffer(1280, 720, kPicture);
  EXPECT_EQ(factory.conform(frame, 1), frame);
}

TEST_F(FrameFactoryTest, FrameThatIsNotBgraIsNeverPassedOn) {
  // Same size would be sent labelled BGRA and show wrong colours; another size cannot be scaled.
  EXPECT_FALSE(factory.conform(test::solidBuffer(1920, 1080, kPicture, kPixelFormat32RGBA), 0));
  EXPECT_FALSE(factory.conform(test::solidBuffer(640, 360, kPicture, kPixelFormat32RGBA), 0));
}

TEST_F(FrameFactoryTest, RefusedFitStepsGiveNone) {
  auto frame = test::solidBuffer(320, 240, kPicture);
  for (Fault fault : {Fault::Scale, Fault::CreatePixelBuffer}) {
    FrameFactory fresh;
    failNext(fault);
    EXPECT_FALSE(fresh.conform(frame, 1));
    EXPECT_TRUE(fresh.conform(frame, 1));
  }
}

// ---- Sample buffers ---------------------------------------------------------------------------

TEST_F(FrameFactoryTest, SampleBufferCarriesOneFrameDurationAndThePts) {
  const MediaTime pts = MediaTime::fromNanos(5'000'000'123);
  auto exact = FrameFactory::sampleBuffer(test::solidBuffer(640, 480, kPicture), 2, pts);
  ASSERT_TRUE(exact);
  EXPECT_EQ(exact->formatDescription(), VideoFormat::at(2).formatDescription);
  EXPECT_EQ(exact->duration(), MediaTime::make(1, 30));
  EXPECT_EQ(exact->presentationTimeStamp(), pts);
  EXPECT_FALSE(exact->decodeTimeStamp().isValid());
  EXPECT_TRUE(exact->dataIsReady());

  auto other = FrameFactory::sampleBuffer(test::solidBuffer(320, 200, kPicture), 2, pts);
  ASSERT_TRUE(other);
  EXPECT_NE(other->formatDescription(), VideoFormat::at(2).formatDescription);
  EXPECT_EQ(other->formatDescription()->width(), 320);
  EXPECT_EQ(other->formatDescription()->height(), 200);
}

TEST_F(FrameFactoryTest, RefusedSampleBufferStepsGiveNone) {
  const MediaTime pts = MediaTime::fromNanos(1);
  failNext(Fault::CreateFormatDescription);
  EXPECT_FALSE(FrameFactory::sampleBuffer(test::solidBuffer(320, 200, kPicture), 2, pts));
  failNext(Fault::CreateSampleBuffer);
  EXPECT_FALSE(FrameFactory::sampleBuffer(test::solidBuffer(640, 480, kPicture), 2, pts));
  // The shared description needs no new one.
  failNext(Fault::CreateFormatDescription);
  EXPECT_TRUE(FrameFactory::sampleBuffer(test::solidBuffer(640, 480, kPicture), 2, pts));
}

}  // namespace
}  // namespace quillane
