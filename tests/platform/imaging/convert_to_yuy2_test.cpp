#include <gtest/gtest.h>

#include <cmath>

#include "platform/imaging/pixel_ops.h"
#include "tests/platform/imaging/test_image.h"

namespace platform::imaging {
namespace {

struct Bgr {
  uint8_t b, g, r;
};

// BT.601 with video range, from the recommendation's own coefficients (not libyuv's integers).
double lumaOf(Bgr c) {
  return 16 + (65.481 * c.r + 128.553 * c.g + 24.966 * c.b) / 255;
}
double cbOf(Bgr c) {
  return 128 + (-37.797 * c.r - 74.203 * c.g + 112.0 * c.b) / 255;
}
double crOf(Bgr c) {
  return 128 + (112.0 * c.r - 93.786 * c.g - 18.214 * c.b) / 255;
}

// Pairs of pixels across two rows: greys, the primaries, a colour, and a pair whose two pixels
// differ (its chroma is their mean).
TEST(ConvertToYuy2, GivesBt601VideoRangeSamplesForEachPairOfPixels) {
  const Bgr kPairs[2][4][2] = {
      {{{255, 255, 255}, {255, 255, 255}},
       {{0, 0, 0}, {0, 0, 0}},
       {{128, 128, 128}, {128, 128, 128}},
       {{0, 0, 255}, {0, 0, 255}}},
      {{{0, 255, 0}, {0, 255, 0}},
       {{255, 0, 0}, {255, 0, 0}},
       {{192, 128, 32}, {192, 128, 32}},
       {{255, 255, 255}, {0, 0, 0}}},
  };
  TestImage source(8, 2, /*padding=*/12);
  for (int y = 0; y < 2; ++y) {
    for (int x = 0; x < 8; ++x) {
      const Bgr c = kPairs[y][x / 2][x % 2];
      const uint8_t bgra[] = {c.b, c.g, c.r, uint8_t(x * 30)};  // alpha must not matter
      std::copy(bgra, bgra + 4, source.pixel(x, y));
    }
  }
  // YUY2 rows of 8 pixels are 16 bytes; 8 more of padding stay untouched.
  std::vector<uint8_t> yuy2(2 * 24, 0xEE);
  ASSERT_EQ(convertToYuy2(source.constView(), {yuy2.data(), 2, 8, 24}), kImagingNoError);

  for (int y = 0; y < 2; ++y) {
    for (int pair = 0; pair < 4; ++pair) {
      SCOPED_TRACE("row " + std::to_string(y) + " pair " + std::to_string(pair));
      const Bgr first = kPairs[y][pair][0], second = kPairs[y][pair][1];
      const uint8_t* got = &yuy2[y * 24 + pair * 4];
      EXPECT_NEAR(got[0], lumaOf(first), 1);
      EXPECT_NEAR(got[2], lumaOf(second), 1);
      EXPECT_NEAR(got[1], (cbOf(first) + cbOf(second)) / 2, 1);
      EXPECT_NEAR(got[3], (crOf(first) + crOf(second)) / 2, 1);
    }
    for (int b = 16; b < 24; ++b) EXPECT_EQ(yuy2[y * 24 + b], 0xEE);
  }
  // The levels a video-range reader expects exactly.
  EXPECT_EQ((std::vector<uint8_t>(yuy2.begin(), yuy2.begin() + 12)),
            (std::vector<uint8_t>{235, 128, 235, 128, 16, 128, 16, 128, 126, 128, 126, 128}));
}

TEST(ConvertToYuy2, RefusesViewsThatDoNotMatchOrHoldTheRowsWithoutWriting) {
  TestImage source(4, 2);
  std::vector<uint8_t> yuy2(2 * 8, 0x77);
  const auto untouched = yuy2;
  EXPECT_EQ(convertToYuy2(source.constView(), {yuy2.data(), 2, 3, 8}), kImagingInvalidParameter);
  EXPECT_EQ(convertToYuy2(source.constView(), {yuy2.data(), 1, 4, 8}), kImagingInvalidParameter);
  EXPECT_EQ(convertToYuy2(source.constView(), {yuy2.data(), 2, 4, 7}), kImagingInvalidParameter);
  EXPECT_EQ(convertToYuy2(source.constView(), {nullptr, 2, 4, 8}), kImagingNullPointerArgument);
  EXPECT_EQ(yuy2, untouched);
}

}  // namespace
}  // namespace platform::imaging
