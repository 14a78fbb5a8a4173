#include "platform/media/sample_buffer.h"

#include <gtest/gtest.h>

#include "platform/faults/fault_injection.h"
#include "platform/media/format_description.h"

namespace platform::media {
namespace {

const SampleTimingInfo kTiming{MediaTime::make(1, 30), MediaTime::make(90, 30),
                               MediaTime::invalid()};

TEST(FormatDescriptionTest, MatchesOnlyBuffersOfItsFormatAndSize) {
  auto buffer = PixelBuffer::create(6, 4, kPixelFormat32BGRA);
  ASSERT_NE(buffer, nullptr);
  EXPECT_TRUE(FormatDescription::createForImageBuffer(*buffer)->matchesImageBuffer(*buffer));
  EXPECT_TRUE(
      FormatDescription::createVideo(kPixelFormat32BGRA, 6, 4)->matchesImageBuffer(*buffer));
  EXPECT_FALSE(
      FormatDescription::createVideo(kPixelFormat32RGBA, 6, 4)->matchesImageBuffer(*buffer));
  EXPECT_FALSE(
      FormatDescription::createVideo(kPixelFormat32BGRA, 4, 6)->matchesImageBuffer(*buffer));
  EXPECT_EQ(FormatDescription::createVideo(kPixelFormat32BGRA, 0, 4), nullptr);
  EXPECT_EQ(FormatDescription::createVideo(kPixelFormat32BGRA, 6, -4), nullptr);
}

TEST(FormatDescriptionTest, BothFactoriesFailWhenThePlatformRefuses) {
  auto buffer = PixelBuffer::create(2, 2, kPixelFormat32BGRA);
  ASSERT_NE(buffer, nullptr);
  faults::failNext(faults::Fault::CreateFormatDescription, 2);
  EXPECT_EQ(FormatDescription::createVideo(kPixelFormat32BGRA, 2, 2), nullptr);
  EXPECT_EQ(FormatDescription::createForImageBuffer(*buffer), nullptr);
  EXPECT_NE(FormatDescription::createForImageBuffer(*buffer), nullptr);
}

TEST(SampleBufferTest, KeepsTheTimingItWasGiven) {
  auto buffer = PixelBuffer::create(2, 2, kPixelFormat32BGRA);
  auto sample = SampleBuffer::createForImageBuffer(
      buffer, true, FormatDescription::createForImageBuffer(*buffer), kTiming);
  ASSERT_NE(sample, nullptr);
  EXPECT_EQ(sample->duration(), MediaTime::make(1, 30));
  EXPECT_EQ(sample->presentationTimeStamp(), MediaTime::make(3, 1));
  EXPECT_FALSE(sample->decodeTimeStamp().isValid());
}

TEST(SampleBufferTest, RefusesMissingOrMismatchedInputs) {
  auto buffer = PixelBuffer::create(2, 2, kPixelFormat32BGRA);
  auto description = FormatDescription::createForImageBuffer(*buffer);
  EXPECT_EQ(SampleBuffer::createForImageBuffer(nullptr, true, description, kTiming), nullptr);
  EXPECT_EQ(SampleBuffer::createForImageBuffer(buffer, true, nullptr, kTiming), nullptr);
  auto otherSize = FormatDescription::createVideo(kPixelFormat32BGRA, 2, 3);
  EXPECT_EQ(SampleBuffer::createForImageBuffer(buffer, true, otherSize, kTiming), nullptr);
  auto otherFormat = FormatDescription::createVideo(kPixelFormat32RGBA, 2, 2);
  EXPECT_EQ(SampleBuffer::createForImageBuffer(buffer, true, otherFormat, kTiming), nullptr);
}

TEST(SampleBufferTest, FailsWhenThePlatformRefusesAndReleasesTheBuffer) {
  auto buffer = PixelBuffer::create(2, 2, kPixelFormat32BGRA);
  auto description = FormatDescription::createForImageBuffer(*buffer);
  faults::failNext(faults::Fault::CreateSampleBuffer);
  EXPECT_EQ(SampleBuffer::createForImageBuffer(buffer, true, description, kTiming), nullptr);
  EXPECT_EQ(buffer.use_count(), 1);
}

}  // namespace
}  // namespace platform::media
