#include <fontconfig/fontconfig.h>
#include <gtest/gtest.h>

#include <cmath>
#include <thread>

#include "platform/faults/fault_injection.h"
#include "platform/imaging/drawing_context.h"
#include "platform/imaging/font_faces_linux.h"
#include "tests/platform/imaging/test_image.h"

namespace platform::imaging {
namespace {

const std::string kFont = "Helvetica-Bold";
const Color kTextGrey{0.92, 0.92, 0.92, 1.0};

TestImage opaqueBlack(int width, int height, std::size_t padding = 0) {
  TestImage image(width, height, padding);
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) image.pixel(x, y)[3] = 255;
  }
  return image;
}

// Rows and columns (memory order, first row at the top) of pixels brighter than the background.
struct InkBox {
  int top = INT32_MAX, bottom = -1, left = INT32_MAX, right = -1;
  bool empty() const { return bottom < 0; }
};

InkBox inkOf(const TestImage& image) {
  InkBox box;
  for (int y = 0; y < image.height; ++y) {
    for (int x = 0; x < image.width; ++x) {
      if (image.pixel(x, y)[1] > 60) {
        box.top = std::min(box.top, y);
        box.bottom = std::max(box.bottom, y);
        box.left = std::min(box.left, x);
        box.right = std::max(box.right, x);
      }
    }
  }
  return box;
}

TEST(DrawingContext, RefusesUnusableRegionsAndInjectedFault) {
  TestImage image(8, 4);
  ImageView view = image.view();
  EXPECT_NE(DrawingContext::create(view), nullptr);

  ImageView noData = view;
  noData.data = nullptr;
  EXPECT_EQ(DrawingContext::create(noData), nullptr);
  ImageView noWidth = view;
  noWidth.width = 0;
  EXPECT_EQ(DrawingContext::create(noWidth), nullptr);
  ImageView noHeight = view;
  noHeight.height = 0;
  EXPECT_EQ(DrawingContext::create(noHeight), nullptr);
  ImageView narrowRows = view;
  narrowRows.bytesPerRow = 28;
  EXPECT_EQ(DrawingContext::create(narrowRows), nullptr);
  ImageView oddRows = view;
  oddRows.bytesPerRow = 34;
  EXPECT_EQ(DrawingContext::create(oddRows), nullptr);

  faults::failNext(faults::Fault::CreateDrawingContext);
  EXPECT_EQ(DrawingContext::create(view), nullptr);
  EXPECT_NE(DrawingContext::create(view), nullptr);
  faults::reset();
}

// The placeholder background: violet at the top-left, near-black blue at the bottom-right,
// stored blue, green, red, alpha; the row padding stays untouched.
TEST(DrawingContext, GradientRunsFromTopLeftToBottomRightInBgraOrder) {
  const int width = 640, height = 480;
  TestImage image(width, height, /*padding=*/64, /*fill=*/0x33);
  auto context = DrawingContext::create(image.view());
  ASSERT_NE(context, nullptr);
  ASSERT_TRUE(context->fillLinearGradient({0, double(height)}, {double(width), 0},
                                          {0.16, 0.10, 0.28, 1.0}, {0.04, 0.04, 0.08, 1.0}));
  context->flush();

  auto expectPixel = [&](int x, int y, double r, double g, double b) {
    const uint8_t* p = image.pixel(x, y);
    EXPECT_NEAR(p[0], b * 255, 3) << x << "," << y;
    EXPECT_NEAR(p[1], g * 255, 3) << x << "," << y;
    EXPECT_NEAR(p[2], r * 255, 3) << x << "," << y;
    EXPECT_EQ(p[3], 255) << x << "," << y;
  };
  expectPixel(0, 0, 0.16, 0.10, 0.28);
  expectPixel(width - 1, height - 1, 0.04, 0.04, 0.08);
  expectPixel(width / 2, height / 2, 0.10, 0.07, 0.18);
  for (int y = 0; y < height; ++y) {
    for (std::size_t b = width * 4u; b < image.bytesPerRow; ++b) {
      ASSERT_EQ(image.bytes[y * image.bytesPerRow + b], 0x33) << "row " << y;
    }
  }
}

TEST(DrawingContext, RefusedGradientDrawsNothing) {
  TestImage image(16, 16, 0, 0x42);
  const auto untouched = image.bytes;
  auto context = DrawingContext::create(image.view());
  ASSERT_NE(context, nullptr);
  faults::failNext(faults::Fault::CreateGradient);
  EXPECT_FALSE(context->fillLinearGradient({0, 16}, {16, 0}, {1, 1, 1, 1}, {0, 0, 0, 1}));
  context->flush();
  EXPECT_EQ(image.bytes, untouched);
  faults::reset();
}

// The message centred as the placeholder centres it: ink sits on the baseline, upright, inside
// the measured box.
TEST(DrawingContext, TextInkLiesInTheMeasuredBandAroundTheBaseline) {
  const int width = 640, height = 480;
  const std::string message = "Quillane \u2014 press Start in the app";
  TestImage image = opaqueBlack(width, height);
  auto context = DrawingContext::create(image.view());
  ASSERT_NE(context, nullptr);
  const double size = height / 22.0;
  TextBounds bounds = context->measureText(message, kFont, size);
  Point origin{(width - bounds.width) * 0.5, (height - bounds.height) * 0.5};
  context->drawText(message, kFont, size, kTextGrey, origin);
  context->flush();

  InkBox ink = inkOf(image);
  ASSERT_FALSE(ink.empty());
  const double baselineRow = height - origin.y;
  EXPECT_GE(ink.left, origin.x - 2);
  EXPECT_LE(ink.right, origin.x + bounds.width + 2);
  EXPECT_GT(ink.right - ink.left, 0.9 * bounds.width);
  // Capitals rise about 0.7 em above the baseline; only "p" descends below it.
  EXPECT_NEAR(ink.top, baselineRow - 0.72 * size, 0.1 * size);
  EXPECT_GT(ink.bottom, baselineRow + 0.1 * size);
  EXPECT_LE(ink.bottom, baselineRow + 0.3 * size);
  EXPECT_NEAR(image.pixel(ink.left + 2, ink.top + 6)[1], 0.92 * 255, 40);
}

TEST(DrawingContext, EmDashIsAGlyphOfTheFont) {
  TestImage image = opaqueBlack(200, 200);
  auto context = DrawingContext::create(image.view());
  ASSERT_NE(context, nullptr);
  const double size = 100;
  TextBounds dash = context->measureText("\u2014", kFont, size);
  EXPECT_NEAR(dash.width, size, 0.1 * size);
  context->drawText("\u2014", kFont, size, kTextGrey, {50, 100});
  context->flush();
  InkBox ink = inkOf(image);
  ASSERT_FALSE(ink.empty());
  EXPECT_GT(ink.right - ink.left, 0.8 * dash.width);
  EXPECT_LT(ink.bottom - ink.top, 0.15 * size);  // a bar, not a replacement box
  EXPECT_LT(ink.bottom, 100);                    // above the baseline
}

TEST(DrawingContext, MeasuredBoundsFollowTextLengthAndSize) {
  TestImage image(4, 4);
  auto context = DrawingContext::create(image.view());
  ASSERT_NE(context, nullptr);
  TextBounds shortText = context->measureText("Quillane", kFont, 20);
  TextBounds longText = context->measureText("Quillane \u2014 press Start", kFont, 20);
  TextBounds doubled = context->measureText("Quillane", kFont, 40);
  EXPECT_GT(shortText.width, 0);
  EXPECT_GT(longText.width, shortText.width * 2);
  EXPECT_NEAR(doubled.width / shortText.width, 2.0, 0.02);
  EXPECT_NEAR(doubled.height / shortText.height, 2.0, 0.02);
  EXPECT_GT(shortText.height, 20 * 0.9);
  EXPECT_LT(shortText.height, 20 * 1.4);
  EXPECT_EQ(context->measureText("", kFont, 20).width, 0);
  EXPECT_GT(context->measureText("Quillane", "NoSuchFamily-Bold", 20).width, 0);
}

TEST(FontFaces, PostScriptNamesSplitIntoFamilyWeightAndSlant) {
  FontRequest bold = parseFontName("Helvetica-Bold");
  EXPECT_EQ(bold.family, "Helvetica");
  EXPECT_EQ(bold.weight, FC_WEIGHT_BOLD);
  EXPECT_EQ(bold.slant, FC_SLANT_ROMAN);
  FontRequest plain = parseFontName("Helvetica");
  EXPECT_EQ(plain.family, "Helvetica");
  EXPECT_EQ(plain.weight, FC_WEIGHT_REGULAR);
  FontRequest boldOblique = parseFontName("Helvetica-BoldOblique");
  EXPECT_EQ(boldOblique.weight, FC_WEIGHT_BOLD);
  EXPECT_EQ(boldOblique.slant, FC_SLANT_OBLIQUE);
  EXPECT_EQ(parseFontName("Times-Italic").slant, FC_SLANT_ITALIC);
  EXPECT_EQ(parseFontName("Nimbus Sans-Bold").family, "Nimbus Sans");
}

// Two placeholders drawn at once on different threads share the cached face.
TEST(FontFaces, ContextsOnTwoThreadsDrawTheSameText) {
  TestImage first = opaqueBlack(320, 60);
  TestImage second = opaqueBlack(320, 60);
  auto draw = [](TestImage* image) {
    auto context = DrawingContext::create(image->view());
    context->drawText("Quillane \u2014 press", "Helvetica-Bold", 24, kTextGrey, {4, 20});
    context->flush();
  };
  std::thread other(draw, &second);
  draw(&first);
  other.join();
  EXPECT_FALSE(inkOf(first).empty());
  EXPECT_EQ(first.bytes, second.bytes);
  EXPECT_EQ(fontFaceNamed("Helvetica-Bold"), fontFaceNamed("Helvetica-Bold"));
}

}  // namespace
}  // namespace platform::imaging
