#include "platform/media/sample_buffer.h"

#include <gtest/gtest.h>

#include "platform/faults/fault_injection.h"
#include "platform/media/format_description.h"

namespace platform::media {
namespace {

const SampleTimingInfo kTiming{MediaTime::make(1, 30), MediaTime::make(90, 30),
                               MediaTime::invalid()};

// A 3 × 2 BGRA buffer and the format description made for it.
class ImageTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_NE(buffer, nullptr);
    ASSERT_NE(description, nullptr);
  }

  PixelBufferRef buffer = PixelBuffer::create(3, 2, kPixelFormat32BGRA);
  FormatDescriptionRef description =
      buffer ? FormatDescription::createForImageBuffer(*buffer) : nullptr;
};
using FormatDescriptionTest = ImageTest;
using SampleBufferTest = ImageTest;

TEST_F(FormatDescriptionTest, MatchesOnlyBuffersOfItsFormatAndSize) {
  EXPECT_TRUE(description->matchesImageBuffer(*buffer));
  EXPECT_TRUE(
      FormatDescription::createVideo(kPixelFormat32BGRA, 3, 2)->matchesImageBuffer(*buffer));
  EXPECT_FALSE(
      FormatDescription::createVideo(kPixelFormat32RGBA, 3, 2)->matchesImageBuffer(*buffer));
  EXPECT_FALSE(
      FormatDescription::createVideo(kPixelFormat32BGRA, 2, 3)->matchesImageBuffer(*buffer));
  EXPECT_EQ(FormatDescription::createVideo(kPixelFormat32BGRA, 0, 4), nullptr);
  EXPECT_EQ(FormatDescription::createVideo(kPixelFormat32BGRA, 6, -4), nullptr);
}

TEST_F(FormatDescriptionTest, BothFactoriesFailWhenThePlatformRefuses) {
  faults::failNext(faults::Fault::CreateFormatDescription, 2);
  EXPECT_EQ(FormatDescription::createVideo(kPixelFormat32BGRA, 2, 2), nullptr);
  EXPECT_EQ(FormatDescription::createForImageBuffer(*buffer), nullptr);
  EXPECT_NE(FormatDescription::createForImageBuffer(*buffer), nullptr);
}

TEST_F(SampleBufferTest, KeepsTheTimingItWasGiven) {
  auto sample = SampleBuffer::createForImageBuffer(buffer, true, description, kTiming);
  ASSERT_NE(sample, nullptr);
  EXPECT_EQ(sample->duration(), MediaTime::make(1, 30));
  EXPECT_EQ(sample->presentationTimeStamp(), MediaTime::make(3, 1));
  EXPECT_FALSE(sample->decodeTimeStamp().isValid());
}

TEST_F(SampleBufferTest, RefusesMissingOrMismatchedInputs) {
  for (const FormatDescriptionRef& mismatched :
       {FormatDescriptionRef{}, FormatDescription::createVideo(kPixelFormat32BGRA, 2, 3),
        FormatDescription::createVideo(kPixelFormat32RGBA, 3, 2)}) {
    EXPECT_EQ(SampleBuffer::createForImageBuffer(buffer, true, mismatched, kTiming), nullptr);
  }
  EXPECT_EQ(SampleBuffer::createForImageBuffer(nullptr, true, description, kTiming), nullptr);
}

TEST_F(SampleBufferTest, FailsWhenThePlatformRefusesAndReleasesTheBuffer) {
  faults::failNext(faults::Fault::CreateSampleBuffer);
  EXPECT_EQ(SampleBuffer::createForImageBuffer(buffer, true, description, kTiming), nullptr);
  EXPECT_EQ(buffer.use_count(), 1);
}

}  // namespace
}  // namespace platform::media
