#include <gtest/gtest.h>

#include <random>

#include "platform/faults/fault_injection.h"
#include "platform/imaging/pixel_ops.h"
#include "tests/platform/imaging/test_image.h"

namespace platform::imaging {
namespace {

constexpr std::array<uint8_t, 4> kRgbaToBgra = {2, 1, 0, 3};

TEST(PermuteChannels, RgbaPixelBecomesBgra) {
  TestImage source(1, 1);
  const uint8_t rgba[] = {10, 20, 30, 40};
  std::copy(rgba, rgba + 4, source.pixel(0, 0));
  TestImage destination(1, 1);
  ASSERT_EQ(permuteChannels(source.constView(), destination.view(), kRgbaToBgra), kImagingNoError);
  EXPECT_EQ(destination.bytes, (std::vector<uint8_t>{30, 20, 10, 40}));
}

TEST(PermuteChannels, WritesOnlyWidthTimesFourBytesOfPaddedRows) {
  TestImage source(3, 2);
  for (std::size_t i = 0; i < source.bytes.size(); ++i) source.bytes[i] = static_cast<uint8_t>(i);
  TestImage destination(3, 2, /*padding=*/20, /*fill=*/0xEE);
  ASSERT_EQ(permuteChannels(source.constView(), destination.view(), kRgbaToBgra), kImagingNoError);
  for (int y = 0; y < 2; ++y) {
    for (int x = 0; x < 3; ++x) {
      const uint8_t* in = source.pixel(x, y);
      const uint8_t* out = destination.pixel(x, y);
      EXPECT_EQ((std::array{out[0], out[1], out[2], out[3]}),
                (std::array{in[2], in[1], in[0], in[3]}));
    }
    for (std::size_t b = 12; b < destination.bytesPerRow; ++b) {
      EXPECT_EQ(destination.bytes[y * destination.bytesPerRow + b], 0xEE) << "row " << y;
    }
  }
}

// All 256 maps (repeats included) against a scalar reference, on widths that leave SIMD tails.
TEST(PermuteChannels, EveryMapMatchesScalarReferenceOnOddWidths) {
  std::mt19937 random(7);
  for (int width : {1, 3, 7, 17, 33, 101}) {
    TestImage source(width, 3, /*padding=*/8);
    for (auto& b : source.bytes) b = static_cast<uint8_t>(random());
    for (int m = 0; m < 256; ++m) {
      const std::array<uint8_t, 4> map = {uint8_t(m & 3), uint8_t((m >> 2) & 3),
                                          uint8_t((m >> 4) & 3), uint8_t((m >> 6) & 3)};
      TestImage destination(width, 3, /*padding=*/4, /*fill=*/0x5A);
      ASSERT_EQ(permuteChannels(source.constView(), destination.view(), map), kImagingNoError);
      TestImage expected(width, 3, /*padding=*/4, /*fill=*/0x5A);
      for (int y = 0; y < 3; ++y) {
        for (int x = 0; x < width; ++x) {
          for (int c = 0; c < 4; ++c) expected.pixel(x, y)[c] = source.pixel(x, y)[map[c]];
        }
      }
      ASSERT_EQ(destination.bytes, expected.bytes) << "width " << width << " map " << m;
    }
  }
}

TEST(PermuteChannels, RejectsUnusableArgumentsWithoutWriting) {
  TestImage source(4, 2);
  TestImage destination(4, 2, 0, 0x77);
  const auto untouched = destination.bytes;
  auto permute = [&](ConstImageView s, ImageView d, std::array<uint8_t, 4> map = kRgbaToBgra) {
    return permuteChannels(s, d, map);
  };
  ConstImageView noSource = source.constView();
  noSource.data = nullptr;
  EXPECT_EQ(permute(noSource, destination.view()), kImagingNullPointerArgument);
  ImageView noDestination = destination.view();
  noDestination.data = nullptr;
  EXPECT_EQ(permute(source.constView(), noDestination), kImagingNullPointerArgument);

  ConstImageView empty = source.constView();
  empty.width = 0;
  ImageView emptyDestination = destination.view();
  emptyDestination.width = 0;
  EXPECT_EQ(permute(empty, emptyDestination), kImagingInvalidParameter);
  EXPECT_EQ(permute(source.constView(), destination.view(), {0, 1, 2, 4}),
            kImagingInvalidParameter);
  ImageView narrowRows = destination.view();
  narrowRows.bytesPerRow = 15;
  EXPECT_EQ(permute(source.constView(), narrowRows), kImagingInvalidParameter);
  ImageView shorter = destination.view();
  shorter.height = 1;
  EXPECT_EQ(permute(source.constView(), shorter), kImagingInvalidParameter);
  ImageView narrower = destination.view();
  narrower.width = 3;
  EXPECT_EQ(permute(source.constView(), narrower), kImagingInvalidParameter);
  EXPECT_EQ(destination.bytes, untouched);
}

TEST(PermuteChannels, InjectedFaultFailsOnceWithoutWriting) {
  TestImage source(2, 2, 0, 9);
  TestImage destination(2, 2, 0, 0x77);
  const auto untouched = destination.bytes;
  faults::failNext(faults::Fault::PermuteChannels);
  EXPECT_NE(permuteChannels(source.constView(), destination.view(), kRgbaToBgra), kImagingNoError);
  EXPECT_EQ(destination.bytes, untouched);
  EXPECT_EQ(permuteChannels(source.constView(), destination.view(), kRgbaToBgra), kImagingNoError);
  faults::reset();
}

}  // namespace
}  // namespace platform::imaging
