#include "platform/media/media_time.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>

namespace platform::media {
namespace {

TEST(MediaTimeTest, EqualityComparesInstantsNotRepresentations) {
  EXPECT_EQ(MediaTime::make(1, 30), MediaTime::make(2, 60));
  EXPECT_EQ(MediaTime::fromNanos(500'000'000), MediaTime::make(15, 30));
  EXPECT_FALSE(MediaTime::make(1, 30) == MediaTime::make(1, 31));
}

TEST(MediaTimeTest, EqualityDoesNotOverflowOnLargeValues) {
  // A naive 64-bit cross product of these overflows and could compare equal by accident.
  MediaTime big = MediaTime::make(INT64_MAX, 1'000'000'000);
  EXPECT_EQ(big, big);
  EXPECT_FALSE(big == MediaTime::make(INT64_MAX - 1, 1'000'000'000));
  EXPECT_FALSE(big == MediaTime::make(INT64_MAX, 999'999'999));
  // 2^34 × 2^30 is 2^64: wrapped to 64 bits it equals 0 × 1.
  EXPECT_FALSE(MediaTime::make(int64_t{1} << 34, 1) == MediaTime::make(0, 1 << 30));
}

TEST(MediaTimeTest, InvalidTimesEqualOnlyEachOtherAndHaveNoSeconds) {
  EXPECT_EQ(MediaTime::invalid(), MediaTime::invalid());
  EXPECT_FALSE(MediaTime::invalid() == MediaTime::make(0, 30));
  EXPECT_FALSE(MediaTime::make(0, 0).isValid());
  EXPECT_TRUE(std::isnan(MediaTime::invalid().seconds()));
}

}  // namespace
}  // namespace platform::media
