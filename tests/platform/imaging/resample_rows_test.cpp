#include "platform/imaging/resample_rows.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "platform/imaging/pixel_ops.h"
#include "tests/platform/imaging/test_image.h"

namespace platform::imaging {
namespace {

// Random bytes with runs of 0 and 255, where a multiply-add would saturate if it could.
std::vector<uint8_t> noise(std::size_t bytes, unsigned seed) {
  std::mt19937 random(seed);
  std::vector<uint8_t> values(bytes);
  for (std::size_t i = 0; i < bytes; ++i) {
    unsigned r = random();
    values[i] = (r & 0x300) == 0 ? 0 : (r & 0x300) == 0x100 ? 255 : static_cast<uint8_t>(r);
  }
  return values;
}

// Every SIMD kernel must give the portable kernel's bytes, on widths that leave a tail after the
// vector loop and up to the last source pixel, which is reached as a second tap.
TEST(BilinearRows, EveryKernelMatchesThePortableOneByteForByte) {
  const auto kernels = availableBilinearRowKernels();
  const BilinearRowKernels& portable = kernels.front();
  const std::pair<int, int> widths[] = {{2, 2},       {2, 3},      {3, 9},   {5, 7},
                                        {13, 17},     {640, 641},  {3, 640}, {1280, 1920},
                                        {1281, 1923}, {1280, 1350}};
  for (const BilinearRowKernels& kernel : kernels.subspan(1)) {
    for (auto [sourceWidth, destinationWidth] : widths) {
      const LinearAxis axis(sourceWidth, destinationWidth);
      const std::vector<uint8_t> row = noise(sourceWidth * 4u, sourceWidth);
      std::vector<uint8_t> expected(destinationWidth * 4u), actual(destinationWidth * 4u);
      portable.interpolateRow(row.data(), axis, expected.data());
      kernel.interpolateRow(row.data(), axis, actual.data());
      EXPECT_EQ(actual, expected) << kernel.name << " " << sourceWidth << " -> "
                                  << destinationWidth;
    }
    for (std::size_t bytes : {1u, 15u, 16u, 33u, 63u, 7684u}) {
      const std::vector<uint8_t> upper = noise(bytes, 1), lower = noise(bytes, 2);
      for (int weight : {0, 1, 21, 64, 107, 127, 128}) {
        std::vector<uint8_t> expected(bytes), actual(bytes);
        portable.blendRows(upper.data(), lower.data(), weight, expected.data(), bytes);
        kernel.blendRows(upper.data(), lower.data(), weight, actual.data(), bytes);
        EXPECT_EQ(actual, expected) << kernel.name << " " << bytes << " bytes, weight " << weight;
      }
    }
  }
}

// The same for the area filters: odd widths, every tap count the fitted sizes use (pairs padded
// with zero weights), ratios beyond the SIMD pair limit, and growing axes whose weights do not fit
// a byte.
TEST(FilterRows, EveryKernelMatchesThePortableOneByteForByte) {
  const auto kernels = availableFilterRowKernels();
  const FilterRowKernels& portable = kernels.front();
  const std::pair<int, int> sizes[] = {{1920, 1280}, {1920, 640}, {641, 640}, {1000, 480},
                                       {3840, 1920}, {1921, 643}, {7, 3},     {9, 2},
                                       {400, 9},     {5, 9},      {1, 4}};
  for (const FilterRowKernels& kernel : kernels.subspan(1)) {
    for (auto [sourceSize, destinationSize] : sizes) {
      const AxisFilter axis(sourceSize, destinationSize);
      const std::string what = std::string(kernel.name) + " " + std::to_string(sourceSize) +
                               " -> " + std::to_string(destinationSize);
      const std::vector<uint8_t> row = noise(sourceSize * 4u, sourceSize);
      std::vector<uint8_t> expected(destinationSize * 4u), actual(destinationSize * 4u);
      portable.filterRow(row.data(), axis, expected.data());
      kernel.filterRow(row.data(), axis, actual.data());
      EXPECT_EQ(actual, expected) << what << " across";

      // Columns of 37 bytes (a vector tail) read down `sourceSize` rows of a padded stride.
      const std::size_t bytes = 37, stride = 48;
      const std::vector<uint8_t> rows = noise(stride * sourceSize, destinationSize);
      for (int y = 0; y < destinationSize; ++y) {
        std::vector<uint8_t> expectedRow(bytes), actualRow(bytes);
        const uint8_t* first = rows.data() + axis.first(y) * stride;
        portable.filterRows(first, stride, axis, y, expectedRow.data(), bytes);
        kernel.filterRows(first, stride, axis, y, actualRow.data(), bytes);
        ASSERT_EQ(actualRow, expectedRow) << what << " down, row " << y;
      }
    }
  }
}

// Enlarging through the whole path (cached taps, reused rows) against bilinear interpolation
// in real numbers: only rounding may differ.
TEST(BilinearRows, EnlargingFollowsRealBilinearInterpolation) {
  struct Case {
    int sourceWidth, sourceHeight, destinationWidth, destinationHeight;
  };
  for (const Case& c :
       {Case{5, 3, 13, 7}, Case{2, 2, 9, 5}, Case{7, 5, 7, 9}, Case{7, 5, 12, 5}, Case{3, 1, 8, 4},
        Case{6, 4, 6, 4}, Case{64, 36, 96, 54}, Case{33, 17, 35, 18}}) {
    const std::string sizes = std::to_string(c.sourceWidth) + "x" + std::to_string(c.sourceHeight) +
                              " -> " + std::to_string(c.destinationWidth) + "x" +
                              std::to_string(c.destinationHeight);
    TestImage source(c.sourceWidth, c.sourceHeight, /*padding=*/8);
    source.bytes = noise(source.bytes.size(), 7);
    TestImage destination(c.destinationWidth, c.destinationHeight, /*padding=*/4);
    ASSERT_EQ(scale(source.constView(), destination.view()), kImagingNoError) << sizes;

    auto centre = [](int i, int sourceSize, int destinationSize) {
      double at = (i + 0.5) * sourceSize / destinationSize - 0.5;
      return std::clamp(at, 0.0, sourceSize - 1.0);
    };
    for (int y = 0; y < c.destinationHeight; ++y) {
      const double cy = centre(y, c.sourceHeight, c.destinationHeight);
      const int y0 = static_cast<int>(cy), y1 = std::min(y0 + 1, c.sourceHeight - 1);
      for (int x = 0; x < c.destinationWidth; ++x) {
        const double cx = centre(x, c.sourceWidth, c.destinationWidth);
        const int x0 = static_cast<int>(cx), x1 = std::min(x0 + 1, c.sourceWidth - 1);
        for (int channel = 0; channel < 4; ++channel) {
          auto at = [&](int sx, int sy) { return source.pixel(sx, sy)[channel]; };
          double top = at(x0, y0) + (cx - x0) * (at(x1, y0) - at(x0, y0));
          double bottom = at(x0, y1) + (cx - x0) * (at(x1, y1) - at(x0, y1));
          double expected = top + (cy - y0) * (bottom - top);
          ASSERT_NEAR(destination.pixel(x, y)[channel], expected, 2.0)
              << sizes << " at " << x << "," << y << " channel " << channel;
        }
      }
    }
  }
}

// Threads fitting different sizes at once, more than the tap cache keeps, get the same pixels as
// a lone caller.
TEST(BilinearRows, ConcurrentScalesOfManySizesAgreeWithSerialOnes) {
  const TestImage source = [] {
    TestImage image(40, 30);
    image.bytes = noise(image.bytes.size(), 3);
    return image;
  }();
  std::vector<TestImage> expected;
  for (int size = 0; size < 12; ++size) {
    expected.emplace_back(20 + 7 * size, 15 + 5 * size);
    ASSERT_EQ(scale(source.constView(), expected.back().view()), kImagingNoError);
  }
  std::vector<std::thread> threads;
  std::vector<int> mismatches(4, 0);
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int round = 0; round < 20; ++round) {
        const TestImage& want = expected[(t * 5 + round) % expected.size()];
        TestImage got(want.width, want.height);
        if (scale(source.constView(), got.view()) != kImagingNoError || got.bytes != want.bytes) {
          ++mismatches[t];
        }
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(mismatches, std::vector<int>(4, 0));
}

}  // namespace
}  // namespace platform::imaging
